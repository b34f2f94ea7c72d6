// Steps a Save and the recovery of a cut-short Save share. Not for callers
// outside cardops.
#pragma once

#include <string>

#include "cardops/bootregion.h"
#include "platform/cardaccess.h"

namespace cardops::detail {

struct BootWrite {
    bool ok = false;
    bool unmounted = false;  // a user-space mount was unmounted for the write
    bool touched = false;    // a sector write was attempted
    Region written{};        // the region as written (when ok)
    std::string why;         // the cause when !ok
};

// Writes the boot region of the card that is still `identity`: a mount
// through a user-space driver (which keeps its own copy of the boot sector)
// is unmounted first; the region is read again right before the write and
// must still be the volume `from` describes; the bytes in which `to` differs
// from `from` are applied to it; the write is read back.
BootWrite WriteBoot(platform::CardAccess& cards, const std::string& name, const std::string& identity, int layoutIndex,
                    const Region& from, const Region& to);

// The card's boot region as it is now (24 sectors).
bool ReadRegion(platform::CardAccess& cards, const std::string& name, Region* region, std::string* why);

// Where the card's files are, mounting it when it is not mounted; "" with
// *why when they cannot be reached.
std::string FilesRoot(platform::CardAccess& cards, const std::string& name, std::string* why);

// Flushes the card's files (syncfs).
bool SyncFiles(const std::string& root, std::string* why);

}  // namespace cardops::detail
