// The free space of a FAT or exFAT volume, counted from the volume itself.
//
// Some file-system drivers (fusefat) report no sizes at all; the space an
// install needs is then checked against the clusters the file allocation
// table (FAT12/16/32) or the allocation bitmap (exFAT) marks as free.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace cardops {

// Reads `count` 512-byte sectors of the volume from sector `first` into
// buffer (count * 512 bytes); false when they cannot be read.
using SectorReader = std::function<bool(uint64_t first, uint32_t count, uint8_t* buffer)>;

struct FreeClusters {
    uint64_t freeClusters = 0;
    uint64_t totalClusters = 0;
    uint64_t clusterBytes = 0;
    uint64_t FreeBytes() const { return freeClusters * clusterBytes; }
};

// Counts the free clusters of the volume whose boot sector is sector 0 of
// `read`: FAT12/16/32 from the first FAT, exFAT from the first allocation
// bitmap of the root folder. Only 512-byte sectors. False, with plain words
// in *why, when the boot sector describes no such volume or a read fails.
bool CountFreeClusters(const SectorReader& read, FreeClusters* out, std::string* why);

}  // namespace cardops
