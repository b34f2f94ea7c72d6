#include "platform/linux/carddevice_linux.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/linux/mountinfo_linux.h"
#include "platform/linux/sysfs_linux.h"
#include "platform/linux/volumes_linux.h"

namespace fs = std::filesystem;

namespace platform {

namespace linux_detail {

namespace {

class FdDevice : public CardDevice {
public:
    FdDevice(int fd, uint64_t base, uint64_t size, uint32_t sectorSize, bool uncached, std::string what)
        : fd_(fd), base_(base), size_(size), sectorSize_(sectorSize), uncached_(uncached), what_(std::move(what))
    {
    }

    uint64_t SizeBytes() const override { return size_; }
    uint32_t SectorSize() const override { return sectorSize_; }
    bool Uncached() const override { return uncached_; }

    AccessResult Read(uint64_t offset, void* buffer, size_t length) override
    {
        AccessResult r = Check(offset, buffer, length);
        if (!r.ok())
            return r;
        if (!uncached_)  // what the cache holds of the range goes, so the read reaches the medium
            ::posix_fadvise(fd_.get(), static_cast<off_t>(base_ + offset), static_cast<off_t>(length),
                            POSIX_FADV_DONTNEED);
        if (!NeedsBounce(buffer))
            return Transfer(offset, buffer, length, false);
        Bounce bounce(length);
        if (!bounce.data)
            return AccessResult::Fail(AccessError::Io, "Out of memory");
        r = Transfer(offset, bounce.data, length, false);
        if (r.ok())
            std::memcpy(buffer, bounce.data, length);
        return r;
    }

    AccessResult Write(uint64_t offset, const void* buffer, size_t length) override
    {
        AccessResult r = Check(offset, buffer, length);
        if (!r.ok())
            return r;
        if (!NeedsBounce(buffer))
            return Transfer(offset, const_cast<void*>(buffer), length, true);
        Bounce bounce(length);
        if (!bounce.data)
            return AccessResult::Fail(AccessError::Io, "Out of memory");
        std::memcpy(bounce.data, buffer, length);
        return Transfer(offset, bounce.data, length, true);
    }

    AccessResult Flush() override
    {
        if (::fsync(fd_.get()) != 0)
            return DeviceErrno(errno, "Cannot flush " + what_);
        return AccessResult::Ok();
    }

private:
    struct Bounce {
        explicit Bounce(size_t length)
        {
            if (posix_memalign(&data, kDeviceBufferAlignment, length) != 0)
                data = nullptr;
        }
        ~Bounce() { std::free(data); }
        void* data = nullptr;
    };

    bool NeedsBounce(const void* buffer) const
    {
        return uncached_ && reinterpret_cast<uintptr_t>(buffer) % kDeviceBufferAlignment != 0;
    }

    AccessResult Check(uint64_t offset, const void* buffer, size_t length) const
    {
        if (buffer == nullptr || length == 0)
            return AccessResult::Fail(AccessError::Io, "Nothing to transfer");
        if (offset % sectorSize_ != 0 || length % sectorSize_ != 0)
            return AccessResult::Fail(AccessError::Io, "A transfer on " + what_ + " is not sector-aligned");
        if (offset > size_ || size_ - offset < length)
            return AccessResult::Fail(AccessError::Io, "A transfer reaches past the end of " + what_);
        return AccessResult::Ok();
    }

    AccessResult Transfer(uint64_t offset, void* buffer, size_t length, bool write)
    {
        auto* p = static_cast<unsigned char*>(buffer);
        const off_t at = static_cast<off_t>(base_ + offset);
        size_t done = 0;
        while (done < length) {
            const ssize_t n = write ? ::pwrite(fd_.get(), p + done, length - done, at + static_cast<off_t>(done))
                                    : ::pread(fd_.get(), p + done, length - done, at + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EINVAL && uncached_ && DropDirect())
                continue;  // the file system wants other alignments: go through the cache
            if (n < 0)
                return DeviceErrno(errno, std::string(write ? "Cannot write " : "Cannot read ") + what_ + " at byte " +
                                              std::to_string(offset + done));
            if (n == 0)
                return AccessResult::Fail(AccessError::Io, "The end of " + what_ + " came first");
            done += static_cast<size_t>(n);
        }
        return AccessResult::Ok();
    }

    bool DropDirect()
    {
        const int flags = ::fcntl(fd_.get(), F_GETFL);
        if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_DIRECT) != 0)
            return false;
        uncached_ = false;
        return true;
    }

    Fd fd_;
    uint64_t base_;
    uint64_t size_;
    uint32_t sectorSize_;
    bool uncached_;
    std::string what_;
};

}  // namespace

std::unique_ptr<CardDevice> MakeFdDevice(Fd& fd, uint64_t base, uint64_t size, uint32_t sectorSize, bool uncached,
                                         const std::string& what)
{
    return std::make_unique<FdDevice>(fd.Release(), base, size, sectorSize, uncached, what);
}

AccessResult BlockDeviceHandle(Fd& fd, dev_t expected, bool uncached, const std::string& what,
                               std::unique_ptr<CardDevice>* out)
{
    if (const AccessResult listed = CheckListedDevice(fd.get(), expected, what); !listed.ok())
        return listed;
    uint64_t size = 0;
    int sectorSize = 0;
    if (ioctl(fd.get(), BLKGETSIZE64, &size) != 0 || ioctl(fd.get(), BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0)
        return DeviceErrno(errno, "Cannot read the size of " + what);
    *out = MakeFdDevice(fd, 0, size, static_cast<uint32_t>(sectorSize), uncached, what);
    return AccessResult::Ok();
}

AccessResult BusyDevice(const std::string& node)
{
    std::string text = node + " is in use";
    const std::vector<std::string> users = DeviceUsers(node);
    for (size_t i = 0; i < users.size(); ++i)
        text += (i == 0 ? ": " : ", ") + users[i];
    if (users.empty())
        text += " (mounted, or open in another program)";
    return AccessResult::Fail(AccessError::Io, text + ". Close what uses the card and try again.");
}

AccessResult OpenBlockDevice(const std::string& node, dev_t expected, bool write, std::unique_ptr<CardDevice>* out)
{
    const int mode = (write ? O_RDWR | O_EXCL : O_RDONLY) | O_CLOEXEC;
    bool uncached = true;
    int raw = ::open(node.c_str(), mode | O_DIRECT);
    if (raw < 0 && errno == EINVAL) {
        uncached = false;
        raw = ::open(node.c_str(), mode);
    }
    if (raw < 0)
        return errno == EBUSY ? BusyDevice(node) : DeviceErrno(errno, "Cannot open " + node);
    Fd fd(raw);
    return BlockDeviceHandle(fd, expected, uncached, node, out);
}

}  // namespace linux_detail

AccessResult OpenFileDevice(const std::string& path, uint64_t sizeBytes, bool create,
                            std::unique_ptr<CardDevice>* device)
{
    const int mode = O_RDWR | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0);
    bool uncached = true;
    int raw = ::open(path.c_str(), mode | O_DIRECT, 0600);
    if (raw < 0 && errno == EINVAL) {
        // A file system without direct transfers refuses O_DIRECT only after
        // it made the file: the second try may not insist on making it again.
        // (An existing file would have failed with EEXIST, not EINVAL.)
        uncached = false;
        raw = ::open(path.c_str(), mode & ~O_EXCL, 0600);
    }
    if (raw < 0)
        return linux_detail::DeviceErrno(errno, "Cannot open " + path);
    linux_detail::Fd fd(raw);
    struct stat st {};
    if (fstat(raw, &st) != 0 || !S_ISREG(st.st_mode))
        return AccessResult::Fail(AccessError::Io, path + " is not a plain file");
    if (!create && static_cast<uint64_t>(st.st_size) < sizeBytes)
        return AccessResult::Fail(AccessError::Io, path + " is shorter than expected");
    *device = linux_detail::MakeFdDevice(fd, 0, sizeBytes, 512, uncached, path);
    return AccessResult::Ok();
}

bool SyncPath(const std::string& path, std::string* why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
        if (why)
            *why = "Cannot flush " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

std::vector<std::string> DeviceUsers(const std::string& device)
{
    std::vector<std::string> users;
    struct stat dst {};
    if (::stat(device.c_str(), &dst) != 0 || !S_ISBLK(dst.st_mode))
        return users;
    for (const auto& m : linux_detail::MountsOfDevice(linux_detail::ReadMountInfo(), dst.st_rdev))
        users.push_back("mounted at " + m.mountPoint);
    const pid_t self = ::getpid();
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string pid = it->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos || std::stoi(pid) == self)
            continue;
        std::error_code fec;
        for (fs::directory_iterator f(it->path() / "fd", fec), fend; !fec && f != fend; f.increment(fec)) {
            struct stat st {};
            if (::stat(f->path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dst.st_rdev) {
                users.push_back(linux_detail::ReadFirstLine(it->path().string() + "/comm") + " (pid " + pid + ")");
                break;
            }
        }
    }
    return users;
}

unsigned ReaderLinkMbps(const std::string& kernelName)
{
    if (!linux_detail::IsPlainKernelName(kernelName))
        return 0;
    const std::string disk = linux_detail::DiskOfBlock(kernelName);
    std::error_code ec;
    // The disk's device folder sits below its USB device, whose "speed" file
    // gives the link speed in Mbit/s.
    fs::path at = fs::canonical("/sys/block/" + (disk.empty() ? kernelName : disk) + "/device", ec);
    for (; !ec && !at.empty() && at != at.root_path(); at = at.parent_path()) {
        if (fs::exists(at / "speed", ec) && fs::exists(at / "idVendor", ec)) {
            const std::string text = linux_detail::ReadFirstLine((at / "speed").string());
            char* end = nullptr;
            const double mbps = std::strtod(text.c_str(), &end);
            return end != text.c_str() && mbps > 0 ? static_cast<unsigned>(mbps) : 0;
        }
    }
    return 0;
}

}  // namespace platform
