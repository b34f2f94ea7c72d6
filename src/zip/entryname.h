// Turning an archive entry name into a path relative to the card's root folder.
#pragma once

#include <string>

// Checks an entry name (as TZipRead lists it, with "\" between folders; "/" is
// accepted too) before anything is unpacked under the card's root folder.
// Refused (false): an empty name; a name starting with a separator (absolute);
// any ":" (drive prefixes, alternate streams); control characters (bytes below
// 0x20 and 0x7F); a segment made only of dots and spaces ("." and ".." and
// forms such as "..." or ". ." that Windows and FAT collapse into them).
// Doubled separators are collapsed. On success *relative holds the segments
// joined by "/", with a trailing "/" when the name ends in a separator (a
// folder entry), and *isFolder says which it was. Either pointer may be null.
bool SafeEntryPath(const std::string& name, std::string* relative, bool* isFolder);
