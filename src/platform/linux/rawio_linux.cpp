// Raw sector transfers on a listed card volume, and the direct backend of
// CardAccess built on them.
//
// Every call looks the volume up again and then checks that the descriptor it
// opened is that very block device, so a name that was reused for another
// disk in between is refused rather than read or written.

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/cardaccess.h"
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

AccessResult FromErrno(int error, const std::string& what) {
    const std::string text = what + ": " + std::strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
        return AccessResult::Fail(AccessError::Refused, text);
    case EROFS:
        return AccessResult::Fail(AccessError::ReadOnly, text);
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOMEDIUM:
        return AccessResult::Fail(AccessError::NotFound, text);
    default:
        return AccessResult::Fail(AccessError::Io, text);
    }
}

// Opens the vetted device and works out the byte range of the transfer.
AccessResult OpenForTransfer(const std::string& name, uint64_t first, uint32_t count, size_t bufferSize, int mode,
                             int* fdOut, off_t* offset, size_t* length) {
    Volume v;
    dev_t dev = 0;
    if (count == 0) return AccessResult::Fail(AccessError::Io, "Nothing to transfer");
    if (!linux_detail::FindVolumeWithDev(name, &v, &dev))
        return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
    const int fd = ::open(v.device.c_str(), mode | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno, "Cannot open " + v.device);
    Fd guard(fd);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != dev)
        return AccessResult::Fail(AccessError::NotFound, v.device + " is no longer the card that was listed");
    int sectorSize = 0;
    if (ioctl(fd, BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0)
        return FromErrno(errno, "Cannot read the sector size of " + v.device);
    const uint64_t ss = static_cast<uint64_t>(sectorSize);
    const uint64_t len = ss * count;
    if (len > bufferSize || len > static_cast<uint64_t>(std::numeric_limits<ssize_t>::max()) ||
        first > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) / ss)
        return AccessResult::Fail(AccessError::Io, "Transfer out of range");
    const uint64_t off = first * ss;
    if (off > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) - len)
        return AccessResult::Fail(AccessError::Io, "Transfer out of range");
    *offset = static_cast<off_t>(off);
    *length = static_cast<size_t>(len);
    *fdOut = guard.Release();
    return AccessResult::Ok();
}

AccessResult PreadAll(int fd, void* buffer, size_t length, off_t offset, const std::string& device) {
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FromErrno(errno, "Cannot read " + device);
        if (n == 0) return AccessResult::Fail(AccessError::Io, "The end of " + device + " came first");
        done += static_cast<size_t>(n);
    }
    return AccessResult::Ok();
}

AccessResult DirectRead(const std::string& name, uint64_t first, uint32_t count, void* buffer, size_t bufferSize,
                        bool uncached) {
    if (buffer == nullptr) return AccessResult::Fail(AccessError::Io, "No buffer");
    off_t offset = 0;
    size_t length = 0;
    int raw = -1;
    AccessResult r = OpenForTransfer(name, first, count, bufferSize, O_RDONLY | (uncached ? O_DIRECT : 0), &raw,
                                     &offset, &length);
    if (!r.ok()) return r;
    Fd fd(raw);
    const std::string device = "/dev/" + name;
    if (!uncached) return PreadAll(fd.get(), buffer, length, offset, device);
    // O_DIRECT wants an aligned buffer; 4096 covers every logical sector size.
    void* aligned = nullptr;
    if (posix_memalign(&aligned, 4096, length) != 0) return AccessResult::Fail(AccessError::Io, "Out of memory");
    std::unique_ptr<void, decltype(&std::free)> keep(aligned, &std::free);
    r = PreadAll(fd.get(), aligned, length, offset, device);
    if (r.ok()) std::memcpy(buffer, aligned, length);
    return r;
}

AccessResult DirectWrite(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                         size_t bufferSize) {
    if (buffer == nullptr) return AccessResult::Fail(AccessError::Io, "No buffer");
    off_t offset = 0;
    size_t length = 0;
    int raw = -1;
    AccessResult r = OpenForTransfer(name, first, count, bufferSize, O_WRONLY, &raw, &offset, &length);
    if (!r.ok()) return r;
    Fd fd(raw);
    const std::string device = "/dev/" + name;
    const auto* p = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd.get(), p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return FromErrno(errno, "Cannot write " + device);
        if (n == 0) return AccessResult::Fail(AccessError::Io, "No room left on " + device);
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return FromErrno(errno, "Cannot flush " + device);
    if (!fd.Close()) return FromErrno(errno, "Cannot close " + device);
    return AccessResult::Ok();
}

class DirectAccess : public CardAccess {
public:
    std::string BackendName() const override { return "direct"; }
    std::vector<Volume> ListVolumes() override { return ListRemovableVolumes(); }
    bool FindVolume(const std::string& name, Volume* out) override { return platform::FindVolume(name, out); }
    AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                             size_t bufferSize) override {
        return DirectRead(name, first, count, buffer, bufferSize, false);
    }
    AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                              size_t bufferSize) override {
        return DirectWrite(name, first, count, buffer, bufferSize);
    }
    AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                     size_t bufferSize) override {
        return DirectRead(name, first, count, buffer, bufferSize, true);
    }
    AccessResult CheckWritable(const std::string& name) override {
        Volume v;
        if (!platform::FindVolume(name, &v))
            return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
        if (v.readOnly) return AccessResult::Fail(AccessError::ReadOnly, v.device + " is write-protected");
        off_t offset = 0;
        size_t length = 0;
        int raw = -1;
        AccessResult r = OpenForTransfer(name, 0, 1, 1u << 16, O_WRONLY, &raw, &offset, &length);
        if (r.ok()) ::close(raw);
        return r;
    }
    AccessResult Mount(const std::string& name, std::string* mountPoint) override {
        Volume v;
        if (!platform::FindVolume(name, &v))
            return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
        if (v.mountPoint.empty())
            return AccessResult::Fail(AccessError::Unsupported,
                                      v.device + " is not mounted; mount it (or use udisks2) and try again");
        if (mountPoint) *mountPoint = v.mountPoint;
        return AccessResult::Ok();
    }
    AccessResult Unmount(const std::string& name) override {
        Volume v;
        dev_t dev = 0;
        if (!linux_detail::FindVolumeWithDev(name, &v, &dev))
            return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
        std::string why;
        if (!linux_detail::UnmountDevice(dev, &why)) return AccessResult::Fail(AccessError::Io, why);
        return AccessResult::Ok();
    }
    int Format(const std::string& name, const std::string& fsName, const std::string& label,
               std::string* errorText) override {
        return FormatVolume(name, fsName, label, errorText);
    }
};

}  // namespace

bool ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer, size_t bufferSize) {
    return DirectRead(name, first, count, buffer, bufferSize, false).ok();
}

bool WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer, size_t bufferSize) {
    return DirectWrite(name, first, count, buffer, bufferSize).ok();
}

std::unique_ptr<CardAccess> MakeDirectAccess() { return std::make_unique<DirectAccess>(); }

bool SyncFileSystem(const std::string& path, std::string* why) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
        if (why) *why = "Cannot flush the card's files (" + path + "): " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

bool FileSystemSpace(const std::string& path, uint64_t* freeBytes, uint64_t* blockSize) {
    struct statvfs st {};
    // A driver that reports no size at all (fusefat on FAT32) tells nothing
    // about the free space either.
    if (::statvfs(path.c_str(), &st) != 0 || st.f_blocks == 0) return false;
    if (freeBytes) *freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    if (blockSize) *blockSize = st.f_frsize ? st.f_frsize : st.f_bsize;
    return true;
}

}  // namespace platform
