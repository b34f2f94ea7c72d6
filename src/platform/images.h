// Card images as cards: a file holding a bare FAT/exFAT volume or a whole card
// with an MBR or GPT partition table. Its boot region is read and written in
// place (512-byte sectors), without root and without a loop device.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/cardaccess.h"

namespace platform {

struct ImageSpec {
    std::string path;
    int partition = 0;  // 0: the bare volume, or the first partition with FAT or exFAT
    std::string root;   // where the user mounted the volume (--root); may be ""
};

// A backend listing the inner backend's cards plus one card per image, named
// after the image file ("card.img"; made unique, never a kernel name). Every
// operation on another name goes to the inner backend. nullptr, with *why,
// when an image cannot be used (missing, truncated, no FAT or exFAT volume,
// no such partition).
std::unique_ptr<CardAccess> WithImages(std::unique_ptr<CardAccess> inner, const std::vector<ImageSpec>& images,
                                       std::string* why);

}  // namespace platform
