// Loading a card: the one load both programs make before they show or change
// a card's markers, with the same checks and the same words.
#pragma once

#include <string>

#include "cardops/bootregion.h"
#include "core/bootrecord.h"
#include "platform/cardaccess.h"

namespace cardops {

struct CardLoad {
    platform::Volume volume;             // fresh information about the card
    Region region{};                     // its first 24 sectors
    int layoutIndex = core::LayoutNone;  // the marker layout of its file system
    // Empty when the region was read; otherwise the status text the user
    // sees ("Drive not available", "FAT32 VBR load failed.") and, in
    // detail, the cause behind it when there is more to say.
    std::string error;
    std::string detail;

    bool ok() const { return error.empty(); }
    // error and detail in one line.
    std::string Message() const { return detail.empty() ? error : error + " " + detail; }
};

// Looks the listed card up again and reads its boot region. A card whose
// file system is none of the three card layouts but still a FAT one loads
// with no layout (nothing can be edited on it); anything else is refused.
CardLoad LoadCard(platform::CardAccess& cards, const std::string& name);

}  // namespace cardops
