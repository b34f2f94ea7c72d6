#include "platform/linux/imagefile_linux.h"

#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/linux/fileio_linux.h"
#include "platform/linux/sysfs_linux.h"

namespace platform::image_detail {

namespace {

constexpr long kFuseMagic = 0x65735546;

using linux_detail::Fd;

// For an image file a refused open means it cannot be written (its mode or
// its folder), unlike a device, where the system's policy decides.
AccessResult FromErrno(int error, const std::string& text)
{
    const std::string words = text + ": " + std::strerror(error);
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return AccessResult::Fail(AccessError::ReadOnly, words);
    case ENOENT:
    case ENOTDIR:
        return AccessResult::Fail(AccessError::NotFound, words);
    default:
        return AccessResult::Fail(AccessError::Io, words);
    }
}

bool PreadAll(int fd, uint8_t* p, size_t length, off_t offset)
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, p + done, length - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = 0;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

SectorReader ReaderOf(int fd, uint64_t fileSectors)
{
    return [fd, fileSectors](uint64_t first, uint32_t count, uint8_t* out) {
        if (first > fileSectors || fileSectors - first < count)
            return false;
        return PreadAll(fd, out, count * kSector, static_cast<off_t>(first * kSector));
    };
}

AccessResult Locate(const Image& image, int fd, Opened* out)
{
    if (fstat(fd, &out->st) != 0)
        return FromErrno(errno, "Cannot examine " + image.given.path);
    if (!S_ISREG(out->st.st_mode))
        return AccessResult::Fail(AccessError::NotFound, image.given.path + " is not a regular file");
    const uint64_t sectors = static_cast<uint64_t>(out->st.st_size) / kSector;
    std::string why;
    if (!LocateVolume(ReaderOf(fd, sectors), sectors, image.given.partition, &out->where, &why))
        return AccessResult::Fail(AccessError::NotFound, image.given.path + ": " + why);
    return AccessResult::Ok();
}

}  // namespace

bool OnFuse(const std::string& folder)
{
    struct statfs st {};
    return !folder.empty() && ::statfs(folder.c_str(), &st) == 0 && static_cast<long>(st.f_type) == kFuseMagic;
}

std::string BaseName(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

AccessResult OpenImage(const Image& image, int mode, int* fdOut, Opened* opened)
{
    const int fd = ::open(image.given.path.c_str(), mode | O_CLOEXEC);
    if (fd < 0) {
        if ((errno == EACCES || errno == EROFS) && (mode & O_ACCMODE) != O_RDONLY)
            return AccessResult::Fail(AccessError::ReadOnly, image.given.path +
                                                                 " is read-only: it cannot be written (" +
                                                                 std::strerror(errno) + ")");
        return FromErrno(errno, "Cannot open " + image.given.path);
    }
    Fd guard(fd);
    AccessResult r = Locate(image, fd, opened);
    if (!r.ok())
        return r;
    *fdOut = guard.Release();
    return r;
}

// The byte range of a transfer inside the image, after the bounds checks.
AccessResult Range(const Image& image, const Opened& o, uint64_t first, uint32_t count, size_t bufferSize,
                   off_t* offset, size_t* length)
{
    if (count == 0)
        return AccessResult::Fail(AccessError::Io, "Nothing to transfer");
    if (first > o.where.sectorCount || o.where.sectorCount - first < count)
        return AccessResult::Fail(AccessError::Io, image.name + ": the transfer reaches past the volume's end");
    const uint64_t len = count * kSector;
    if (len > bufferSize)
        return AccessResult::Fail(AccessError::Io, "Transfer out of range");
    const uint64_t off = (o.where.firstSector + first) * kSector;
    if (off + len > static_cast<uint64_t>(o.st.st_size))
        return AccessResult::Fail(AccessError::Io, image.name + ": the transfer reaches past the file's end");
    *offset = static_cast<off_t>(off);
    *length = static_cast<size_t>(len);
    return AccessResult::Ok();
}

AccessResult RefuseWhenLoopServes(const Image& image, const Opened& o, const std::string& ownLoop)
{
    std::vector<std::string> serving =
        linux_detail::LoopDevicesServing({static_cast<uint64_t>(o.st.st_dev), static_cast<uint64_t>(o.st.st_ino)});
    std::erase(serving, ownLoop);
    if (serving.empty())
        return AccessResult::Ok();
    const std::string devices = linux_detail::DeviceList(serving);
    return AccessResult::Fail(AccessError::Unsupported,
                              image.name + " is attached as " + devices +
                                  ", which keeps its own copy of the card's sectors: a write into the file would not "
                                  "reach it, and a file system mounted from it could write its old boot sector back. "
                                  "Unmount what is mounted from " +
                                  devices + " and detach it (udisksctl loop-delete or losetup -d), then try again.");
}

bool DescribeFile(const Image& image, Volume* out)
{
    int raw = -1;
    Opened o;
    if (!OpenImage(image, O_RDONLY, &raw, &o).ok())
        return false;
    Fd fd(raw);
    Volume v;
    v.name = image.name;
    v.device = image.given.path;
    v.fsName = o.where.boot.fsName;
    v.sizeBytes = o.where.sectorCount * kSector;
    v.sectorSize = static_cast<uint32_t>(kSector);
    v.mountPoint = image.given.root;
    v.userSpaceMount = OnFuse(image.given.root);
    v.identity = "image:" + std::to_string(static_cast<uint64_t>(o.st.st_dev)) + ":" +
                 std::to_string(static_cast<uint64_t>(o.st.st_ino)) + ":" +
                 std::to_string(o.where.firstSector * kSector) + ":" + std::to_string(v.sizeBytes);
    v.readOnly = ::faccessat(AT_FDCWD, image.given.path.c_str(), W_OK, AT_EACCESS) != 0;
    v.label = o.where.boot.bpbLabel;
    const BootSectorInfo& b = o.where.boot;
    if (b.rootDirSectors > 0 && b.rootDirSector < o.where.sectorCount &&
        o.where.sectorCount - b.rootDirSector >= b.rootDirSectors) {
        std::vector<uint8_t> dir(b.rootDirSectors * kSector);
        const uint64_t fileSectors = static_cast<uint64_t>(o.st.st_size) / kSector;
        if (ReaderOf(fd.get(), fileSectors)(o.where.firstSector + b.rootDirSector, b.rootDirSectors, dir.data())) {
            const std::string label = RootDirectoryLabel(b.fsName, dir.data(), dir.size());
            if (!label.empty() || b.fsName == "exFAT")
                v.label = label;
        }
    }
    *out = v;
    return true;
}

AccessResult Read(const Image& image, uint64_t first, uint32_t count, void* buffer, size_t bufferSize, bool uncached)
{
    if (buffer == nullptr)
        return AccessResult::Fail(AccessError::Io, "No buffer");
    int raw = -1;
    Opened o;
    AccessResult r = OpenImage(image, O_RDONLY, &raw, &o);
    if (!r.ok())
        return r;
    Fd fd(raw);
    off_t offset = 0;
    size_t length = 0;
    r = Range(image, o, first, count, bufferSize, &offset, &length);
    if (!r.ok())
        return r;
    if (uncached) {
        // Past the page cache: O_DIRECT where the file system allows it
        // (tmpfs does not), otherwise drop the cached pages first.
        const int direct = ::open(image.given.path.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
        if (direct >= 0) {
            Fd dfd(direct);
            void* aligned = nullptr;
            if (posix_memalign(&aligned, 4096, length) != 0)
                return AccessResult::Fail(AccessError::Io, "Out of memory");
            std::unique_ptr<void, decltype(&std::free)> keep(aligned, &std::free);
            if (PreadAll(dfd.get(), static_cast<uint8_t*>(aligned), length, offset)) {
                std::memcpy(buffer, aligned, length);
                return AccessResult::Ok();
            }
            if (errno != EINVAL)
                return FromErrno(errno ? errno : EIO, "Cannot read " + image.given.path);
        }
        ::posix_fadvise(fd.get(), offset, static_cast<off_t>(length), POSIX_FADV_DONTNEED);
    }
    if (!PreadAll(fd.get(), static_cast<uint8_t*>(buffer), length, offset))
        return FromErrno(errno ? errno : EIO, "Cannot read " + image.given.path);
    return AccessResult::Ok();
}

}  // namespace platform::image_detail
