// Descriptor handling and whole transfers shared by the Linux backends.
// Not part of the portable interface: only src/platform/linux includes this.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/cardaccess.h"

namespace platform::linux_detail {

// Owns a descriptor; closes it when it goes.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports whether the close succeeded (a write error can
    // surface only here).
    bool Close()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

// A failed call on a card's device, in words, with the kind of failure.
AccessResult DeviceErrno(int error, const std::string& what);

// Whether the open descriptor is still the block device that was listed
// (device number `expected`): a card swapped behind its node name is refused.
AccessResult CheckListedDevice(int fd, dev_t expected, const std::string& device);

// The byte range of a transfer of count sectors from first on the block
// device fd (its logical sector size from the kernel); checks the buffer and
// 64-bit overflow.
AccessResult SectorRange(int fd, uint64_t first, uint32_t count, size_t bufferSize, const std::string& device,
                         off_t* offset, size_t* length);

// Exactly length bytes at offset, or a failure naming the device.
AccessResult ReadWhole(int fd, void* buffer, size_t length, off_t offset, const std::string& device);
// Exactly length bytes at offset, then fsync and close.
AccessResult WriteWholeAndClose(Fd& fd, const void* buffer, size_t length, off_t offset, const std::string& device);

}  // namespace platform::linux_detail
