// The direct backend of CardAccess: raw sector transfers on a listed card
// volume through its device node.
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
#include <map>
#include <memory>

#include "platform/cardaccess.h"
#include "platform/linux/carddevice_linux.h"
#include "platform/linux/fileio_linux.h"
#include "platform/linux/format_linux.h"
#include "platform/linux/mountinfo_linux.h"
#include "platform/linux/volumes_linux.h"

namespace platform {

namespace {

using linux_detail::DeviceErrno;
using linux_detail::Fd;

// Opens the vetted device and works out the byte range of the transfer.
AccessResult OpenForTransfer(const std::string& name, uint64_t first, uint32_t count, size_t bufferSize, int mode,
                             int* fdOut, off_t* offset, size_t* length)
{
    Volume v;
    dev_t dev = 0;
    if (count == 0)
        return AccessResult::Fail(AccessError::Io, "Nothing to transfer");
    if (!linux_detail::FindVolumeWithDev(name, &v, &dev))
        return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
    const int fd = ::open(v.device.c_str(), mode | O_CLOEXEC);
    if (fd < 0)
        return DeviceErrno(errno, "Cannot open " + v.device);
    Fd guard(fd);
    if (const AccessResult listed = linux_detail::CheckListedDevice(fd, dev, v.device); !listed.ok())
        return listed;
    const AccessResult range = linux_detail::SectorRange(fd, first, count, bufferSize, v.device, offset, length);
    if (!range.ok())
        return range;
    *fdOut = guard.Release();
    return AccessResult::Ok();
}

AccessResult DirectRead(const std::string& name, uint64_t first, uint32_t count, void* buffer, size_t bufferSize,
                        bool uncached)
{
    if (buffer == nullptr)
        return AccessResult::Fail(AccessError::Io, "No buffer");
    off_t offset = 0;
    size_t length = 0;
    int raw = -1;
    AccessResult r =
        OpenForTransfer(name, first, count, bufferSize, O_RDONLY | (uncached ? O_DIRECT : 0), &raw, &offset, &length);
    if (!r.ok())
        return r;
    Fd fd(raw);
    const std::string device = "/dev/" + name;
    if (!uncached)
        return linux_detail::ReadWhole(fd.get(), buffer, length, offset, device);
    // O_DIRECT wants an aligned buffer; 4096 covers every logical sector size.
    void* aligned = nullptr;
    if (posix_memalign(&aligned, 4096, length) != 0)
        return AccessResult::Fail(AccessError::Io, "Out of memory");
    std::unique_ptr<void, decltype(&std::free)> keep(aligned, &std::free);
    r = linux_detail::ReadWhole(fd.get(), aligned, length, offset, device);
    if (r.ok())
        std::memcpy(buffer, aligned, length);
    return r;
}

AccessResult DirectWrite(const std::string& name, uint64_t first, uint32_t count, const void* buffer, size_t bufferSize)
{
    if (buffer == nullptr)
        return AccessResult::Fail(AccessError::Io, "No buffer");
    off_t offset = 0;
    size_t length = 0;
    int raw = -1;
    AccessResult r = OpenForTransfer(name, first, count, bufferSize, O_WRONLY, &raw, &offset, &length);
    if (!r.ok())
        return r;
    Fd fd(raw);
    const std::string device = "/dev/" + name;
    return linux_detail::WriteWholeAndClose(fd, buffer, length, offset, device);
}

class DirectAccess : public CardAccess {
public:
    std::string BackendName() const override { return "direct"; }
    std::vector<Volume> ListVolumes() override { return linux_detail::ListRemovableVolumes(); }
    bool FindVolume(const std::string& name, Volume* out) override
    {
        return linux_detail::FindVolumeWithDev(name, out, nullptr);
    }
    AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                             size_t bufferSize) override
    {
        return DirectRead(name, first, count, buffer, bufferSize, false);
    }
    AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                              size_t bufferSize) override
    {
        return DirectWrite(name, first, count, buffer, bufferSize);
    }
    AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                     size_t bufferSize) override
    {
        return DirectRead(name, first, count, buffer, bufferSize, true);
    }
    AccessResult CheckWritable(const std::string& name) override
    {
        Volume v;
        if (!FindVolume(name, &v))
            return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
        if (v.readOnly)
            return AccessResult::Fail(AccessError::ReadOnly, v.device + " is write-protected");
        off_t offset = 0;
        size_t length = 0;
        int raw = -1;
        AccessResult r = OpenForTransfer(name, 0, 1, 1u << 16, O_WRONLY, &raw, &offset, &length);
        if (r.ok())
            ::close(raw);
        return r;
    }
    AccessResult OpenDevice(const std::string& name, bool write, std::unique_ptr<CardDevice>* device) override
    {
        Volume v;
        dev_t dev = 0;
        if (!linux_detail::FindVolumeWithDev(name, &v, &dev))
            return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
        if (write && v.readOnly)
            return AccessResult::Fail(AccessError::ReadOnly, v.device + " is write-protected");
        return linux_detail::OpenBlockDevice(v.device, dev, write, device);
    }
    AccessResult Mount(const std::string& name, std::string* mountPoint) override
    {
        Volume v;
        dev_t dev = 0;
        if (!linux_detail::FindVolumeWithDev(name, &v, &dev))
            return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
        const auto was = unmounted_.find(dev);
        if (v.mountPoint.empty() && was != unmounted_.end()) {
            // Mounted again where and as it was before this program unmounted it.
            std::string why;
            if (!Remount(v, was->second, &why))
                return AccessResult::Fail(AccessError::Io, "Cannot mount " + v.device + " again: " + why);
            unmounted_.erase(was);
            linux_detail::FindVolumeWithDev(name, &v, nullptr);
        }
        if (v.mountPoint.empty())
            return AccessResult::Fail(AccessError::Unsupported,
                                      v.device + " is not mounted; mount it (or use udisks2) and try again");
        if (mountPoint)
            *mountPoint = v.mountPoint;
        return AccessResult::Ok();
    }
    AccessResult Unmount(const std::string& name) override
    {
        Volume v;
        dev_t dev = 0;
        if (!linux_detail::FindVolumeWithDev(name, &v, &dev))
            return AccessResult::Fail(AccessError::NotFound, name + " is not a removable card any more");
        const auto mounts = linux_detail::MountsOfDevice(linux_detail::ReadMountInfo(), dev);
        std::string why;
        if (!linux_detail::UnmountDevice(dev, &why))
            return AccessResult::Fail(AccessError::Io, why);
        if (!mounts.empty())
            unmounted_[dev] = mounts.front();
        return AccessResult::Ok();
    }
    FormatOutcome Format(const std::string& name, const std::string& identity, const std::string& fsName,
                         const std::string& label) override
    {
        return linux_detail::FormatDevice(name, identity, fsName, label);
    }

private:
    // The same driver on the same folder: the user-space drivers by the
    // card's file system, a kernel driver by the mount's type.
    static bool Remount(const Volume& v, const linux_detail::MountEntry& was, std::string* why)
    {
        std::vector<std::string> argv;
        const bool fuse = was.fsType == "fuse" || was.fsType == "fuseblk" || was.fsType.rfind("fuse.", 0) == 0;
        if (fuse && v.fsName == "exFAT")
            argv = {"mount.exfat-fuse", v.device, was.mountPoint};
        else if (fuse && v.fsName.rfind("FAT", 0) == 0)
            argv = {"fusefat", "-o", "rw+,fsname=" + v.device, v.device, was.mountPoint};
        else if (!fuse)
            argv = {"mount", "-t", was.fsType, "--", v.device, was.mountPoint};
        else {
            *why = "its user-space driver is not known";
            return false;
        }
        std::string output;
        if (linux_detail::RunTool(argv, &output) != 0) {
            *why = output.empty() ? argv.front() + " failed" : output;
            return false;
        }
        for (int i = 0; i < 100; ++i) {
            Volume now;
            if (linux_detail::FindVolumeWithDev(v.name, &now, nullptr) && !now.mountPoint.empty())
                return true;
            ::usleep(50000);
        }
        *why = "the mount did not appear";
        return false;
    }

    std::map<dev_t, linux_detail::MountEntry> unmounted_;  // what Unmount took away, per device
};

}  // namespace

std::unique_ptr<CardAccess> MakeDirectAccess()
{
    return std::make_unique<DirectAccess>();
}

bool SyncFileSystem(const std::string& path, std::string* why)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
        if (why)
            *why = "Cannot flush the card's files (" + path + "): " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

bool FileSystemSpace(const std::string& path, uint64_t* freeBytes, uint64_t* blockSize)
{
    struct statvfs st {};
    // A driver that reports no size at all (fusefat on FAT32) tells nothing
    // about the free space either.
    if (::statvfs(path.c_str(), &st) != 0 || st.f_blocks == 0)
        return false;
    if (freeBytes)
        *freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    if (blockSize)
        *blockSize = st.f_frsize ? st.f_frsize : st.f_bsize;
    return true;
}

}  // namespace platform
