// Raw sector transfers on a listed card volume.
//
// Every call looks the volume up again and then checks that the descriptor it
// opened is that very block device, so a name that was reused for another
// disk in between is refused rather than read or written.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

#include "platform/linux/volumes_linux.h"
#include "platform/volumes.h"

namespace platform {

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports whether the close succeeded (a write error can
    // surface only here).
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

// Opens the vetted device and works out the byte range of the transfer.
// Returns the descriptor (-1 on refusal) and the length in *length.
int OpenForTransfer(const std::string& name, uint64_t first, uint32_t count, size_t bufferSize, int mode,
                    off_t* offset, size_t* length) {
    Volume v;
    dev_t dev = 0;
    if (count == 0 || !linux_detail::FindVolumeWithDev(name, &v, &dev)) return -1;
    int fd = ::open(v.device.c_str(), mode | O_CLOEXEC);
    if (fd < 0) return -1;
    Fd guard(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != dev) return -1;
    int sectorSize = 0;
    if (ioctl(fd, BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0) return -1;
    const uint64_t ss = static_cast<uint64_t>(sectorSize);
    const uint64_t len = ss * count;
    if (len > bufferSize || len > static_cast<uint64_t>(std::numeric_limits<ssize_t>::max())) return -1;
    if (first > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) / ss) return -1;
    const uint64_t off = first * ss;
    if (off > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) - len) return -1;
    *offset = static_cast<off_t>(off);
    *length = static_cast<size_t>(len);
    return guard.Release();
}

}  // namespace

bool ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer, size_t bufferSize) {
    if (buffer == nullptr) return false;
    off_t offset = 0;
    size_t length = 0;
    Fd fd(OpenForTransfer(name, first, count, bufferSize, O_RDONLY, &offset, &length));
    if (fd.get() < 0) return false;
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd.get(), p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // error, or the end of the volume came first
        done += static_cast<size_t>(n);
    }
    return fd.Close();
}

bool WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer, size_t bufferSize) {
    if (buffer == nullptr) return false;
    off_t offset = 0;
    size_t length = 0;
    Fd fd(OpenForTransfer(name, first, count, bufferSize, O_WRONLY, &offset, &length));
    if (fd.get() < 0) return false;
    const auto* p = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd.get(), p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // error, or no room left on the volume
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return false;
    return fd.Close();
}

}  // namespace platform
