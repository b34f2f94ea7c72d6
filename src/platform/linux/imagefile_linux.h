// An image file as a card: opening it, finding its volume, describing it,
// reading it, and the bounds of a transfer. Private to the image backend.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/cardaccess.h"
#include "platform/images.h"
#include "platform/partitions.h"

namespace platform::image_detail {

constexpr uint64_t kSector = kImageSectorSize;

struct Image {
    ImageSpec given;
    std::string name;
    // Attached through udisks2 for its files: the loop device and its volume
    // ("loop5", "loop5p1"); empty while it is not attached.
    std::string loop;
    std::string loopVolume;
};

// What an open image holds now.
struct Opened {
    LocatedVolume where;
    struct stat st {};
};

// A folder on a file system in user space (FUSE): its driver keeps its own
// copy of the boot sector and writes it back when it unmounts.
bool OnFuse(const std::string& folder);

// The last part of a path ("card.img").
std::string BaseName(const std::string& path);

// Opens the image (mode: O_RDONLY or O_RDWR) and finds its volume through
// that very descriptor, so a file replaced in between is judged by what it
// holds now.
AccessResult OpenImage(const Image& image, int mode, int* fdOut, Opened* opened);

// The byte range of a transfer inside the image's volume and file.
AccessResult Range(const Image& image, const Opened& o, uint64_t first, uint32_t count, size_t bufferSize,
                   off_t* offset, size_t* length);

// Refuses a write into an image that a loop device serves (other than
// `ownLoop`, one attached by this program and let go before it writes): the
// device keeps its own cache of the image's sectors, which a write into the
// file does not reach, and a file system mounted from it may write its own
// copy back.
AccessResult RefuseWhenLoopServes(const Image& image, const Opened& o, const std::string& ownLoop);

// What the listing shows for the image file itself (not its loop device).
bool DescribeFile(const Image& image, Volume* out);

// Reads sectors of the image's volume; uncached: past the page cache.
AccessResult Read(const Image& image, uint64_t first, uint32_t count, void* buffer, size_t bufferSize, bool uncached);

}  // namespace platform::image_detail
