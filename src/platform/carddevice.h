// An open card device held for a long series of transfers: what the card
// check reads and writes through. The card is looked up and vetted once, when
// it is opened (CardAccess::OpenDevice); the descriptor then stays on that very
// device, so a card pulled half-way fails every later transfer instead of
// reaching whatever takes its name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/cardaccess.h"

namespace platform {

// Buffers handed to a CardDevice are best aligned to this many bytes: an
// uncached transfer then needs no copy.
constexpr size_t kDeviceBufferAlignment = 4096;

class CardDevice {
public:
    virtual ~CardDevice() = default;

    // Size of the volume in bytes, and its logical sector size.
    virtual uint64_t SizeBytes() const = 0;
    virtual uint32_t SectorSize() const = 0;
    // True when transfers go past the system's caches (O_DIRECT). False for
    // files on file systems without it (tmpfs): what is read may then come
    // from memory, and speeds are those of the cache.
    virtual bool Uncached() const = 0;

    // Exactly length bytes at offset (both multiples of SectorSize(), inside
    // the volume), or a failure.
    virtual AccessResult Read(uint64_t offset, void* buffer, size_t length) = 0;
    virtual AccessResult Write(uint64_t offset, const void* buffer, size_t length) = 0;
    // Makes what was written durable on the medium (fsync).
    virtual AccessResult Flush() = 0;
};

// A file as a device, for the speed test through a card's file system:
// created empty (mode 0600; it grows as it is written, up to sizeBytes, so a
// FAT driver never fills it with zeros first) or opened, uncached where the
// file system allows it. Flush is fsync.
AccessResult OpenFileDevice(const std::string& path, uint64_t sizeBytes, bool create,
                            std::unique_ptr<CardDevice>* device);

// Flushes a file or a folder (its entries) to the medium (fsync).
bool SyncPath(const std::string& path, std::string* why);

// What holds a card's device besides this program: its mount points and the
// processes that have it open, in words ("mounted at /media/u/CARD",
// "gvfsd (pid 812)"). Empty when nothing is seen; processes of other users are
// not visible to an ordinary user.
std::vector<std::string> DeviceUsers(const std::string& device);

// Link speed in Mbit/s of the USB connection a card's reader sits on (480 for
// USB 2.0), 0 when the device is not on USB or the speed is not known.
unsigned ReaderLinkMbps(const std::string& kernelName);

}  // namespace platform
