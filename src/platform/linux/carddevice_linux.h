// Open card devices (carddevice.h) on Linux descriptors, shared by the
// backends. Private to src/platform/linux.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/carddevice.h"
#include "platform/linux/fileio_linux.h"

namespace platform::linux_detail {

// A device over an open descriptor: transfers land at base + offset and stay
// inside size bytes. uncached: the descriptor has O_DIRECT.
std::unique_ptr<CardDevice> MakeFdDevice(Fd& fd, uint64_t base, uint64_t size, uint32_t sectorSize, bool uncached,
                                         const std::string& what);

// A device over an open block-device descriptor (size and sector size from
// the kernel). Fails when the descriptor is not the block device `expected`.
AccessResult BlockDeviceHandle(Fd& fd, dev_t expected, bool uncached, const std::string& what,
                               std::unique_ptr<CardDevice>* out);

// Opens the vetted block device node for the check: O_DIRECT where the
// device takes it, exclusive (O_EXCL) for writing. A busy device is refused
// with words naming what holds it.
AccessResult OpenBlockDevice(const std::string& node, dev_t expected, bool write, std::unique_ptr<CardDevice>* out);

// The words for a card that cannot be opened exclusively.
AccessResult BusyDevice(const std::string& node);

}  // namespace platform::linux_detail
