// The boot region as a Save changes it: which bytes define the volume, what
// a write makes of the region on the card, and the write itself.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/bootrecord.h"
#include "platform/cardaccess.h"

namespace cardops {

using Region = std::array<uint8_t, core::kVbrSize>;

// Whether two regions describe the same volume: the parameter block and the
// serial number agree (file-system drivers change other bytes, never these).
bool SameVolume(const Region& a, const Region& b, int layoutIndex);

// The FAT32 backup boot sector the parameter block names (BkBootSec), or 0
// when it names none or one outside the reserved sectors of the region.
uint32_t Fat32BackupSector(const Region& region);

// What a write makes of `current`: every byte of the written sectors in which
// `to` differs from `from` takes its value from `to`, so the driver's own state
// bytes stay as the card holds them. On FAT32 the changed bytes of the boot
// sector go into the backup boot sector too; exFAT is sealed (checksums and
// backup region).
Region WriteTarget(const Region& current, const Region& from, const Region& to, int layoutIndex);

// Whether `region` holds `to` (or `from`) at every byte where the two differ,
// the bytes drivers keep their own state in left out (the dirty flags of FAT
// and FAT32, exFAT's volume flags and use percentage, in every copy).
bool HoldsChanges(const Region& region, const Region& from, const Region& to, int layoutIndex);
bool HoldsNoChange(const Region& region, const Region& from, const Region& to, int layoutIndex);

// Writes `target` over the region the card holds now (`current`) in an order
// that leaves a valid volume if it is cut short: exFAT's backup region before
// the main one, FAT32's backup boot sector after the main one. Each part is
// read back past the cache and compared. False with the reason in *why.
bool WriteRegion(platform::CardAccess& cards, const std::string& name, int layoutIndex, const Region& current,
                 const Region& target, std::string* why);

}  // namespace cardops
