// File and folder helpers. Names on a card are matched without regard
// to letter case, as FAT and exFAT do, whatever the file system driver does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace core {

// True when name matches a mask of "*" and "?" wildcards, letter case ignored.
// "*.*" matches every name, also one without a dot.
bool MatchMask(const std::string& name, const std::string& mask);

// Names (without folder) of all entries of Folder that match Mask, files and
// folders alike, in the order the file system returns them.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask);

// Deletes every file of Folder that matches Mask; folders are left alone and
// failures are ignored. Subfolders are not searched.
void DeleteFiles(const std::string& folder, const std::string& mask);

// Deletes everything below Folder that can be deleted, then Folder itself.
// Symbolic links are removed, never followed. Failures are ignored.
void RemoveFolderTree(const std::string& folder);

// Writes data to path under a temporary name (path + ".part") and renames it
// when complete, so that a broken write never counts as the file. False (and
// nothing left behind) on a failure.
bool WriteFileWhole(const std::string& path, const std::string& data);

// Joins a card root and a name relative to it; "\" in the name becomes "/".
std::string CardPath(const std::string& root, const std::string& relative);

// The existing path below root whose components match relative without regard
// to letter case (an exact match wins); empty when there is none.
std::string ResolveNoCase(const std::string& root, const std::string& relative);
bool FileExistsNoCase(const std::string& root, const std::string& relative);
bool FolderExistsNoCase(const std::string& root, const std::string& relative);

// A file's last-write time in local time, rounded down to two seconds, as
// "yyyy.MM.dd hh:mm:ss" (only "yyyy.MM.dd" at exactly midnight); empty when
// the file does not exist or cannot be read.
std::string FileDateText(const std::string& path);
// The same text for a time given in seconds since 1970 (local time).
std::string DateTimeText(int64_t secondsSinceEpoch);

}  // namespace core
