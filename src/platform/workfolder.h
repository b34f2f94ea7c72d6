// The per-user private work folder for catalogues and downloaded archives.
#pragma once

#include <string>

namespace platform {

// The user's cache folder: $XDG_CACHE_HOME when set and absolute, otherwise
// $HOME/.cache, ending in "/".
std::string UserCacheFolder();

// Makes sure `path` is a folder that belongs to the current user and is open
// to nobody else (mode 0700), creating it (and missing parents) when needed.
// Returns false, with a reason in *why, when the folder exists but belongs to
// another user, is open to others, or is not a folder.
bool PreparePrivateFolder(const std::string& path, std::string* why);

}  // namespace platform
