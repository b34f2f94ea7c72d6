#include "platform/linux/fileio_linux.h"

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace platform::linux_detail {

AccessResult CheckListedDevice(int fd, dev_t expected, const std::string& device)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != expected)
        return AccessResult::Fail(AccessError::NotFound, device + " is no longer the card that was listed");
    return AccessResult::Ok();
}

AccessResult DeviceErrno(int error, const std::string& what)
{
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

AccessResult SectorRange(int fd, uint64_t first, uint32_t count, size_t bufferSize, const std::string& device,
                         off_t* offset, size_t* length)
{
    if (count == 0)
        return AccessResult::Fail(AccessError::Io, "Nothing to transfer");
    int sectorSize = 0;
    if (ioctl(fd, BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0)
        return DeviceErrno(errno, "Cannot read the sector size of " + device);
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
    return AccessResult::Ok();
}

AccessResult ReadWhole(int fd, void* buffer, size_t length, off_t offset, const std::string& device)
{
    auto* p = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return DeviceErrno(errno, "Cannot read " + device);
        if (n == 0)
            return AccessResult::Fail(AccessError::Io, "The end of " + device + " came first");
        done += static_cast<size_t>(n);
    }
    return AccessResult::Ok();
}

AccessResult WriteWholeAndClose(Fd& fd, const void* buffer, size_t length, off_t offset, const std::string& device)
{
    const auto* p = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pwrite(fd.get(), p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return DeviceErrno(errno, "Cannot write " + device);
        if (n == 0)
            return AccessResult::Fail(AccessError::Io, "No room left on " + device);
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0)
        return DeviceErrno(errno, "Cannot flush " + device);
    if (!fd.Close())
        return DeviceErrno(errno, "Cannot close " + device);
    return AccessResult::Ok();
}

}  // namespace platform::linux_detail
