// Turning an archive entry name into a path relative to the card's root folder.
#pragma once

#include <string>

// Checks an entry name (as TZipRead lists it, with "\" between folders; "/" is
// accepted too) before anything is unpacked under the card's root folder.
// Refused (false): an empty name; a name starting with a separator (absolute);
// any ":" (drive prefixes, alternate streams); a segment "." or "..". Other
// names with dots ("a..b.txt", "...") pass: whether a card's file system can
// hold a name is the build check's question (FatNameProblem). Doubled
// separators are collapsed. On success *relative holds the segments
// joined by "/", with a trailing "/" when the name ends in a separator (a
// folder entry), and *isFolder says which it was. Either pointer may be null.
bool SafeEntryPath(const std::string& name, std::string* relative, bool* isFolder);
