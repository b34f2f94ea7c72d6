// Drive-list entries: "sdb1: EOS_DIGITAL [FAT32] 32 GB".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace core {

// "999 MB" below 10^9 bytes, otherwise whole decimal gigabytes of
// size / 10^9 + 0.1, an exact half going to the even neighbour.
std::string SizeText(uint64_t sizeBytes);

// name ": " label " [" fsName "] " size; an empty label reads "Removable Disk".
std::string EntryText(const std::string& name, const std::string& label, const std::string& fsName, uint64_t sizeBytes);

// The volume name of an entry: the text before the first ": ".
std::string EntryVolumeName(const std::string& entry);
// The label field of an entry: between ": " and the last " [".
std::string EntryLabel(const std::string& entry);

// Index to select: the first entry whose label begins with "EOS_DIGITAL",
// else the first whose label begins with "CANON", else 0; -1 for no entries.
int ChooseEntry(const std::vector<std::string>& entries);

// True for the file-system names a card may carry.
bool IsCardFileSystem(const std::string& fsName);

}  // namespace core
