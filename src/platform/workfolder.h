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

// The user's private work folder: the cache folder, the program's name before
// its first dot (the whole name when it has none), Number as three digits and
// "/". A folder that is not private to the user is not used: *note explains
// and a private variant is chosen instead; empty when none can be made.
std::string MakeWorkFolder(int number, const std::string& programPath, std::string* note);

}  // namespace platform
