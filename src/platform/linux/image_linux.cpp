// Card images as a CardAccess backend wrapped around another one.
//
// Every operation opens the image again, finds its volume through that very
// descriptor (so a file replaced in between is judged by what it holds now)
// and keeps every transfer inside the volume's partition and the file.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>

#include "platform/images.h"
#include "platform/linux/carddevice_linux.h"
#include "platform/linux/fileio_linux.h"
#include "platform/partitions.h"
#include "platform/udisks.h"
#include "platform/volumes.h"

namespace platform {

namespace {

constexpr uint64_t kSector = kImageSectorSize;
constexpr long kFuseMagic = 0x65735546;

// A folder on a file system in user space (FUSE): its driver keeps its own
// copy of the boot sector and writes it back when it unmounts.
bool OnFuse(const std::string& folder)
{
    struct statfs st {};
    return !folder.empty() && ::statfs(folder.c_str(), &st) == 0 && static_cast<long>(st.f_type) == kFuseMagic;
}

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

std::string BaseName(const std::string& path)
{
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

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

class ImageAccess : public CardAccess {
public:
    ImageAccess(std::unique_ptr<CardAccess> inner, std::vector<Image> images)
        : inner_(std::move(inner)), images_(std::move(images))
    {
    }

    ~ImageAccess() override
    {
        // Images attached for their files are let go again.
        for (Image& image : images_)
            if (!image.loop.empty())
                Detach(image);
    }

    std::string BackendName() const override
    {
        return inner_ ? inner_->BackendName() + " and image" : std::string("image");
    }

    std::vector<Volume> ListVolumes() override
    {
        std::vector<Volume> all;
        if (inner_)
            all = inner_->ListVolumes();
        for (const Image& image : images_) {
            Volume v;
            if (Describe(image, &v))
                all.push_back(v);
        }
        return all;
    }

    bool FindVolume(const std::string& name, Volume* out) override
    {
        if (const Image* image = Find(name))
            return Describe(*image, out);
        return inner_ && inner_->FindVolume(name, out);
    }

    AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                             size_t bufferSize) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->ReadSectors(name, first, count, buffer, bufferSize) : NoCard(name);
        return Read(*image, first, count, buffer, bufferSize, false);
    }

    AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                              size_t bufferSize) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->WriteSectors(name, first, count, buffer, bufferSize) : NoCard(name);
        if (buffer == nullptr)
            return AccessResult::Fail(AccessError::Io, "No buffer");
        int raw = -1;
        Opened o;
        AccessResult r = OpenImage(*image, O_RDWR, &raw, &o);
        if (!r.ok())
            return r;
        Fd fd(raw);
        off_t offset = 0;
        size_t length = 0;
        r = Range(*image, o, first, count, bufferSize, &offset, &length);
        if (!r.ok())
            return r;
        return linux_detail::WriteWholeAndClose(fd, buffer, length, offset, image->given.path);
    }

    AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                     size_t bufferSize) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->ReadSectorsUncached(name, first, count, buffer, bufferSize) : NoCard(name);
        return Read(*image, first, count, buffer, bufferSize, true);
    }

    AccessResult CheckWritable(const std::string& name) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->CheckWritable(name) : NoCard(name);
        int raw = -1;
        Opened o;
        AccessResult r = OpenImage(*image, O_RDWR, &raw, &o);
        if (r.ok())
            ::close(raw);
        return r;
    }

    AccessResult OpenDevice(const std::string& name, bool write, std::unique_ptr<CardDevice>* device) override
    {
        const Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->OpenDevice(name, write, device) : NoCard(name);
        const int mode = write ? O_RDWR : O_RDONLY;
        int raw = -1;
        Opened o;
        AccessResult r = OpenImage(*image, mode, &raw, &o);
        if (!r.ok())
            return r;
        Fd fd(raw);
        // Past the page cache where the file system allows it (tmpfs does
        // not), on the very file that was just examined.
        bool uncached = false;
        const int direct = ::open(image->given.path.c_str(), mode | O_DIRECT | O_CLOEXEC);
        struct stat st {};
        if (direct >= 0 && fstat(direct, &st) == 0 && st.st_dev == o.st.st_dev && st.st_ino == o.st.st_ino) {
            fd.reset(direct);
            uncached = true;
        } else if (direct >= 0) {
            ::close(direct);
        }
        *device = linux_detail::MakeFdDevice(fd, o.where.firstSector * kSector, o.where.sectorCount * kSector,
                                             static_cast<uint32_t>(kSector), uncached, image->given.path);
        return AccessResult::Ok();
    }

    AccessResult Mount(const std::string& name, std::string* mountPoint) override
    {
        Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->Mount(name, mountPoint) : NoCard(name);
        if (!image->given.root.empty()) {
            if (mountPoint)
                *mountPoint = image->given.root;
            return AccessResult::Ok();
        }
        if (!inner_ || inner_->BackendName() != "udisks2")
            return AccessResult::Fail(AccessError::Unsupported,
                                      image->name + " is an image file and its files are not reachable: mount it "
                                                    "yourself and give --root DIR where you mounted it (or run "
                                                    "udisks2, which attaches and mounts it)");
        return AttachAndMount(*image, mountPoint);
    }

    AccessResult Unmount(const std::string& name) override
    {
        Image* image = Find(name);
        if (!image)
            return inner_ ? inner_->Unmount(name) : NoCard(name);
        if (!image->loop.empty())
            return Detach(*image);
        // Nothing was mounted here; a mount the user made (--root) is theirs
        // and stays. Through FUSE it would undo a boot-record write later, so
        // such a write is refused instead of reported as done.
        if (OnFuse(image->given.root))
            return AccessResult::Fail(AccessError::Unsupported,
                                      image->name + " is mounted at " + image->given.root +
                                          " through FUSE, whose driver writes its own copy of the boot sector back "
                                          "when it unmounts; unmount it yourself first, then run again without --root");
        return AccessResult::Ok();
    }

    int Format(const std::string& name, const std::string& fsName, const std::string& label,
               std::string* errorText) override
    {
        if (!Find(name)) {
            if (inner_)
                return inner_->Format(name, fsName, label, errorText);
            if (errorText)
                *errorText = NoCard(name).why;
            return FormatNotFormatable;
        }
        if (errorText)
            *errorText = name + " is an image file; formatting images is not supported";
        return FormatNotFormatable;
    }

    const std::vector<Image>& images() const { return images_; }

private:
    static AccessResult NoCard(const std::string& name)
    {
        return AccessResult::Fail(AccessError::NotFound, name + " is not a card or image that is listed");
    }

    Image* Find(const std::string& name)
    {
        for (Image& image : images_)
            if (image.name == name)
                return &image;
        return nullptr;
    }

    // The user's own loop devices are cards of udisks2 only while loop
    // devices are listed.
    template <typename F> auto WithLoops(F f)
    {
        const bool before = IncludeLoop();
        SetIncludeLoop(true);
        auto result = f();
        SetIncludeLoop(before);
        return result;
    }

    AccessResult AttachAndMount(Image& image, std::string* mountPoint)
    {
        if (image.loop.empty()) {
            int raw = -1;
            Opened o;
            AccessResult r = OpenImage(image, O_RDONLY, &raw, &o);
            if (!r.ok())
                return r;
            ::close(raw);
            r = UdisksLoopSetup(image.given.path, false, &image.loop);
            if (!r.ok())
                return r;
            image.loopVolume = image.loop + (o.where.partition > 0 ? "p" + std::to_string(o.where.partition) : "");
        }
        // udisks2 needs a moment to see the new device's file system.
        AccessResult r;
        for (int attempt = 0; attempt < 50; ++attempt) {
            r = WithLoops([&] { return inner_->Mount(image.loopVolume, mountPoint); });
            if (r.ok() || r.error == AccessError::Refused)
                break;
            ::usleep(100000);
        }
        if (!r.ok())
            Detach(image);
        return r;
    }

    AccessResult Detach(Image& image)
    {
        AccessResult r = WithLoops([&] { return inner_->Unmount(image.loopVolume); });
        if (r.ok() || r.error == AccessError::NotFound)
            r = UdisksLoopDelete(image.loop);
        if (r.ok()) {
            image.loop.clear();
            image.loopVolume.clear();
        }
        return r;
    }

    bool Describe(const Image& image, Volume* out)
    {
        if (!DescribeFile(image, out))
            return false;
        if (!image.loopVolume.empty()) {
            // Attached and mounted through a loop device: its files are there.
            // The loop device keeps a cache of its own, apart from the file's,
            // so it is unmounted before the boot record is written to the file.
            Volume loop;
            if (WithLoops([&] { return inner_->FindVolume(image.loopVolume, &loop); }) && !loop.mountPoint.empty()) {
                out->mountPoint = loop.mountPoint;
                out->userSpaceMount = true;
            }
        }
        return true;
    }

    static bool DescribeFile(const Image& image, Volume* out)
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

    static AccessResult Read(const Image& image, uint64_t first, uint32_t count, void* buffer, size_t bufferSize,
                             bool uncached)
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

    std::unique_ptr<CardAccess> inner_;
    std::vector<Image> images_;
};

}  // namespace

std::unique_ptr<CardAccess> WithImages(std::unique_ptr<CardAccess> inner, const std::vector<ImageSpec>& images,
                                       std::string* why)
{
    std::set<std::string> taken;
    if (inner)
        for (const Volume& v : inner->ListVolumes())
            taken.insert(v.name);
    std::vector<Image> list;
    for (const ImageSpec& given : images) {
        if (given.partition < 0) {
            if (why)
                *why = given.path + ": a partition number counts from 1";
            return nullptr;
        }
        Image image{given, BaseName(given.path), {}, {}};
        if (image.name.empty() || image.name == "." || image.name == "..") {
            if (why)
                *why = "Not an image file: " + given.path;
            return nullptr;
        }
        // One name per image, never one the inner backend lists.
        const std::string base = image.name;
        for (int n = 2; taken.count(image.name); ++n)
            image.name = base + "-" + std::to_string(n);
        int raw = -1;
        Opened o;
        const AccessResult r = OpenImage(image, O_RDONLY, &raw, &o);
        if (!r.ok()) {
            if (why)
                *why = r.why;
            return nullptr;
        }
        ::close(raw);
        taken.insert(image.name);
        list.push_back(image);
    }
    return std::make_unique<ImageAccess>(std::move(inner), std::move(list));
}

}  // namespace platform
