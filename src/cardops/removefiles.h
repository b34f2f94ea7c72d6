// Taking a build off a card: which markers stop the camera from starting it,
// and which files go.
#pragma once

#include <string>
#include <vector>

#include "cardops/bootregion.h"

namespace cardops {

// The region without the markers that make the camera start Magic Lantern:
// "EOS_DEVELOP" at the layout's label place, and "BOOTDISK" at the layout's
// boot place. A "BOOTDISK" at 0x1E0 is CHDK's and stays, unless it is the
// card's only boot string: together with "EOS_DEVELOP" it is then the one
// that makes the card start Magic Lantern. "SCRIPT" stays. *cleared lists
// what was cleared ("EOS_DEVELOP at 0x047"), empty when nothing was.
Region ClearMagicLanternStart(const Region& region, int layoutIndex, std::vector<std::string>* cleared);

// What a removal takes from the card's root, in this order and as the names
// are spelt on the card: the files matching "*.fir", "autoexec.bin" and
// "*.pdf" (letter case ignored), then the folder ML.
std::vector<std::string> PlanRemoval(const std::string& root);

// Deletes the named files and folder trees below root. A folder tree is
// taken apart from the inside; a folder that is another file system's mount
// point is left with everything in it. True when nothing named is left;
// *left gets what stayed.
bool RemoveNamed(const std::string& root, const std::vector<std::string>& names, std::vector<std::string>* left);

}  // namespace cardops
