// Card images attached through udisks2, so that an ordinary user can work on
// an image as on a card (the loop device then belongs to that user's session).
#pragma once

#include <string>

#include "platform/cardaccess.h"

namespace platform {

// Attaches the image file as a loop device through udisks2 (Manager.LoopSetup
// with a descriptor of the file, which the user must be able to open).
// *loopName gets the kernel name of the loop device ("loop5"); an image with a
// partition table shows its volumes as "loop5p1" and so on.
AccessResult UdisksLoopSetup(const std::string& imagePath, bool readOnly, std::string* loopName);

// Detaches a loop device that UdisksLoopSetup attached (Loop.Delete).
AccessResult UdisksLoopDelete(const std::string& loopName);

}  // namespace platform
