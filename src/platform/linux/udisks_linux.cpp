// CardAccess through the udisks2 daemon over the system bus (Qt D-Bus).
//
// The user needs no rights on the device nodes: udisks2 lists the block
// devices, hands out descriptors (Block.OpenDevice), formats, mounts and
// unmounts, and polkit decides each of these, possibly after asking for a
// password. Calls that may wait for that dialog get a long time-out.
//
// As in the direct backend, every operation looks the card up again, and a
// descriptor udisks2 hands over is checked to be the very block device that
// was listed before a byte is read or written.

#include "platform/linux/udisks_linux.h"
#include "platform/linux/carddevice_linux.h"
#include "platform/linux/fileio_linux.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/linux/fileio_linux.h"
#include "platform/linux/format_linux.h"
#include "platform/linux/mountinfo_linux.h"
#include "platform/linux/sysfs_linux.h"
#include "platform/linux/systemdisks_linux.h"
#include "platform/linux/volumes_linux.h"

namespace platform {

namespace {

using udisks_detail::BlockObject;
using udisks_detail::Call;
using udisks_detail::CallResult;
using udisks_detail::FetchBlocks;
using udisks_detail::kAuthTimeoutMs;
using udisks_detail::kFormatTimeoutMs;

std::string NotFoundText(const std::string& name)
{
    return name + " is not a removable card any more";
}

// The card's block object and the volume the listing shows for it.
struct Card {
    BlockObject block;
    Volume volume;
};

Volume ToVolume(const BlockObject& b, const std::vector<linux_detail::MountEntry>& mounts)
{
    Volume v;
    v.name = b.name;
    v.device = b.device;
    v.label = b.idLabel;
    v.fsName = linux_detail::FileSystemName(b.idType, b.idVersion);
    v.sizeBytes = b.sizeBytes;
    v.sectorSize = linux_detail::LogicalSectorSize(b.name);
    // The mount table tells which of the device's mounts shows the card's
    // root; udisks2 lists bind mounts too, and none of a file system in user
    // space that has no device number (its source names the device).
    const auto own = linux_detail::MountsOfDevice(mounts, static_cast<dev_t>(b.deviceNumber));
    if (const auto root = linux_detail::CardRootMount(own, b.mountPoints)) {
        v.mountPoint = root->mountPoint;
        v.userSpaceMount = linux_detail::IsUserSpaceMount(*root);
    }
    v.readOnly = b.readOnly || linux_detail::SysfsReadOnly(b.name);
    v.identity =
        linux_detail::DevKey(static_cast<dev_t>(b.deviceNumber)) + ":" + std::to_string(b.sizeBytes) + ":" + b.idUuid;
    return v;
}

std::vector<Card> ListCards()
{
    std::vector<Card> cards;
    std::vector<BlockObject> blocks;
    if (!FetchBlocks(&blocks))
        return cards;
    std::vector<linux_detail::MountEntry> mounts;
    std::set<std::string> never;
    try {
        mounts = linux_detail::ReadMountInfo();
        never = linux_detail::NeverListedDisks(mounts);
    } catch (...) {
        return cards;  // which disks hold the system is unknown: none is offered
    }
    const bool loops = IncludeLoop();
    const uint32_t uid = static_cast<uint32_t>(::getuid());
    // A partition of a loop device carries no Loop interface: it takes the
    // owner of its loop device.
    std::map<std::string, uint32_t> loopOwners;
    for (const auto& b : blocks)
        if (b.isLoop)
            loopOwners[b.name] = b.loopSetupByUid;
    for (auto& b : blocks) {
        const std::string disk = linux_detail::DiskOfBlock(b.name);
        if (!b.isLoop && b.hintSystem && disk != b.name && loopOwners.count(disk)) {
            b.isLoop = true;
            b.loopSetupByUid = loopOwners[disk];
        }
    }
    for (auto& b : blocks) {
        if (!udisks_detail::IsListable(b, loops, linux_detail::DiskOfBlock(b.name), never, uid))
            continue;
        // The node must be the device udisks2 describes.
        struct stat st {};
        if (stat(b.device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) ||
            st.st_rdev != static_cast<dev_t>(b.deviceNumber))
            continue;
        Card c;
        c.volume = ToVolume(b, mounts);
        if (c.volume.sectorSize == 0)
            continue;
        c.block = std::move(b);
        cards.push_back(std::move(c));
    }
    std::sort(cards.begin(), cards.end(),
              [](const Card& a, const Card& b) { return linux_detail::NameLess(a.volume.name, b.volume.name); });
    return cards;
}

bool FindCard(const std::string& name, Card* out)
{
    if (!linux_detail::IsPlainKernelName(name))
        return false;
    for (auto& c : ListCards()) {
        if (c.volume.name == name) {
            *out = std::move(c);
            return true;
        }
    }
    return false;
}

using linux_detail::Fd;

// Asks udisks2 for a descriptor of the card and checks it is the listed device.
// flags: extra open(2) flags (O_DIRECT), or 0.
AccessResult OpenCard(const Card& card, bool write, int flags, Fd* fd)
{
    QVariantMap options;
    if (flags != 0)
        options.insert("flags", flags);
    const CallResult r = Call(QString::fromStdString(card.block.objectPath), "org.freedesktop.UDisks2.Block",
                              "OpenDevice", {QString(write ? "rw" : "r"), options}, kAuthTimeoutMs);
    if (!r.ok)
        return udisks_detail::FromDBusError(r.errorName, r.errorMessage, card.volume.name, "open");
    if (r.arguments.isEmpty() || r.arguments.front().metaType() != QMetaType::fromType<QDBusUnixFileDescriptor>())
        return AccessResult::Fail(AccessError::Io, "udisks2 gave no descriptor for " + card.volume.name);
    const auto handle = r.arguments.front().value<QDBusUnixFileDescriptor>();
    // The handle closes its descriptor when it goes; keep a copy of our own.
    const int own = handle.isValid() ? ::fcntl(handle.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (own < 0)
        return AccessResult::Fail(AccessError::Io, "udisks2 gave no descriptor for " + card.volume.name);
    fd->reset(own);
    return linux_detail::CheckListedDevice(own, static_cast<dev_t>(card.block.deviceNumber), card.volume.device);
}

// Byte range of a transfer; checks the buffer and 64-bit overflow.
AccessResult Range(int fd, const Card& card, uint64_t first, uint32_t count, size_t bufferSize, off_t* offset,
                   size_t* length)
{
    return linux_detail::SectorRange(fd, first, count, bufferSize, card.volume.device, offset, length);
}

AccessResult PreadAll(int fd, void* buffer, size_t length, off_t offset, const std::string& device)
{
    return linux_detail::ReadWhole(fd, buffer, length, offset, device);
}

class UdisksAccess : public CardAccess {
public:
    std::string BackendName() const override { return "udisks2"; }

    std::vector<Volume> ListVolumes() override
    {
        std::vector<Volume> result;
        try {
            for (auto& c : ListCards())
                result.push_back(std::move(c.volume));
        } catch (...) {
            result.clear();
        }
        return result;
    }

    bool FindVolume(const std::string& name, Volume* out) override
    {
        Card c;
        if (!FindCard(name, &c))
            return false;
        if (out)
            *out = std::move(c.volume);
        return true;
    }

    AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                             size_t bufferSize) override
    {
        if (buffer == nullptr)
            return AccessResult::Fail(AccessError::Io, "No buffer");
        Card card;
        if (!FindCard(name, &card))
            return AccessResult::Fail(AccessError::NotFound, NotFoundText(name));
        Fd fd;
        AccessResult r = OpenCard(card, false, 0, &fd);
        if (!r.ok())
            return r;
        off_t offset = 0;
        size_t length = 0;
        r = Range(fd.get(), card, first, count, bufferSize, &offset, &length);
        if (!r.ok())
            return r;
        return PreadAll(fd.get(), buffer, length, offset, card.volume.device);
    }

    AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                              size_t bufferSize) override
    {
        if (buffer == nullptr)
            return AccessResult::Fail(AccessError::Io, "No buffer");
        Card card;
        if (!FindCard(name, &card))
            return AccessResult::Fail(AccessError::NotFound, NotFoundText(name));
        if (card.volume.readOnly)
            return AccessResult::Fail(AccessError::ReadOnly, card.volume.device + " is write-protected");
        Fd fd;
        AccessResult r = OpenCard(card, true, 0, &fd);
        if (!r.ok())
            return r;
        off_t offset = 0;
        size_t length = 0;
        r = Range(fd.get(), card, first, count, bufferSize, &offset, &length);
        if (!r.ok())
            return r;
        return linux_detail::WriteWholeAndClose(fd, buffer, length, offset, card.volume.device);
    }

    // udisks2 accepts O_DIRECT in the "flags" option of OpenDevice (2.9.4 of
    // Debian 12 does; the tests check that an uncached read sees bytes the
    // cache does not have), which is the way used first. Reopening /proc/self/fd/N with O_DIRECT is
    // no way out for older versions: the kernel checks the device node's
    // permissions again on that open, and the user has none. So when the flag
    // is refused, the cached pages of the range are dropped
    // (posix_fadvise DONTNEED, after an fsync so that none is dirty) and the
    // range is read through the plain descriptor, which then comes from the
    // medium.
    AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                     size_t bufferSize) override
    {
        if (buffer == nullptr)
            return AccessResult::Fail(AccessError::Io, "No buffer");
        Card card;
        if (!FindCard(name, &card))
            return AccessResult::Fail(AccessError::NotFound, NotFoundText(name));
        Fd fd;
        AccessResult r = OpenCard(card, false, O_DIRECT, &fd);
        bool direct = r.ok();
        if (!r.ok()) {
            if (r.error == AccessError::Refused || r.error == AccessError::NotFound)
                return r;
            r = OpenCard(card, false, 0, &fd);
            if (!r.ok())
                return r;
        }
        off_t offset = 0;
        size_t length = 0;
        r = Range(fd.get(), card, first, count, bufferSize, &offset, &length);
        if (!r.ok())
            return r;
        if (!direct) {
            ::fsync(fd.get());
            ::posix_fadvise(fd.get(), offset, static_cast<off_t>(length), POSIX_FADV_DONTNEED);
            return PreadAll(fd.get(), buffer, length, offset, card.volume.device);
        }
        // O_DIRECT wants an aligned buffer; 4096 covers every logical sector size.
        void* aligned = nullptr;
        if (posix_memalign(&aligned, 4096, length) != 0)
            return AccessResult::Fail(AccessError::Io, "Out of memory");
        std::unique_ptr<void, decltype(&std::free)> keep(aligned, &std::free);
        r = PreadAll(fd.get(), aligned, length, offset, card.volume.device);
        if (r.ok())
            std::memcpy(buffer, aligned, length);
        return r;
    }

    AccessResult CheckWritable(const std::string& name) override
    {
        Card card;
        if (!FindCard(name, &card))
            return AccessResult::Fail(AccessError::NotFound, NotFoundText(name));
        if (card.volume.readOnly)
            return AccessResult::Fail(AccessError::ReadOnly, card.volume.device + " is write-protected");
        Fd fd;
        return OpenCard(card, true, 0, &fd);
    }

    // The check's handle: O_DIRECT (and O_EXCL for writing) go to udisks2 in
    // the "flags" option; a udisks2 that refuses O_DIRECT gives a plain one.
    AccessResult OpenDevice(const std::string& name, bool write, std::unique_ptr<CardDevice>* device) override
    {
        Card card;
        if (!FindCard(name, &card))
            return AccessResult::Fail(AccessError::NotFound, NotFoundText(name));
        if (write && card.volume.readOnly)
            return AccessResult::Fail(AccessError::ReadOnly, card.volume.device + " is write-protected");
        const int exclusive = write ? O_EXCL : 0;
        Fd fd;
        AccessResult r = OpenCard(card, write, O_DIRECT | exclusive, &fd);
        const bool uncached = r.ok();
        if (!r.ok() && r.error == AccessError::Io && r.why.find("busy") == std::string::npos)
            r = OpenCard(card, write, exclusive, &fd);
        if (!r.ok())
            return r.why.find("busy") != std::string::npos ? linux_detail::BusyDevice(card.volume.device) : r;
        return linux_detail::BlockDeviceHandle(fd, static_cast<dev_t>(card.block.deviceNumber), uncached,
                                               card.volume.device, device);
    }

    AccessResult Mount(const std::string& name, std::string* mountPoint) override
    {
        Card card;
        if (!FindCard(name, &card))
            return AccessResult::Fail(AccessError::NotFound, NotFoundText(name));
        if (!card.volume.mountPoint.empty()) {
            if (mountPoint)
                *mountPoint = card.volume.mountPoint;
            return AccessResult::Ok();
        }
        if (!card.block.hasFilesystem)
            return AccessResult::Fail(AccessError::Unsupported,
                                      "Cannot mount " + name + ": udisks2 finds no file system on it");
        const CallResult r = Call(QString::fromStdString(card.block.objectPath), "org.freedesktop.UDisks2.Filesystem",
                                  "Mount", {QVariantMap()}, kAuthTimeoutMs);
        if (!r.ok)
            return udisks_detail::FromDBusError(r.errorName, r.errorMessage, name, "mount");
        const std::string where = r.arguments.isEmpty() ? std::string() : r.arguments.front().toString().toStdString();
        if (where.empty())
            return AccessResult::Fail(AccessError::Io, "udisks2 mounted " + name + " but said not where");
        if (mountPoint)
            *mountPoint = where;
        return AccessResult::Ok();
    }

    AccessResult Unmount(const std::string& name) override
    {
        Card card;
        if (!FindCard(name, &card))
            return AccessResult::Fail(AccessError::NotFound, NotFoundText(name));
        return UnmountCard(card);
    }

    FormatOutcome Format(const std::string& name, const std::string& identity, const std::string& fsName,
                         const std::string& label) override
    {
        try {
            Card card;
            if (!FindCard(name, &card))
                return FormatOutcome::Fail(FormatNotFormatable, AccessError::NotFound, "Not a removable card: " + name);
            if (identity.empty() || card.volume.identity != identity)
                return FormatOutcome::Fail(FormatError, AccessError::NotFound, linux_detail::CardChangedText(name));
            if (fsName != "FAT32" && fsName != "exFAT")
                return FormatOutcome::Fail(FormatNotFormatable, AccessError::Unsupported, "Cannot format as " + fsName);
            if (card.volume.readOnly)
                return FormatOutcome::Fail(FormatError, AccessError::ReadOnly,
                                           card.volume.device + " is write-protected");
            std::string why;
            if (!linux_detail::ValidFormatLabel(fsName, label, &why))
                return FormatOutcome::Fail(FormatError, AccessError::Unsupported, why);
            AccessResult r = UnmountCard(card);
            if (!r.ok())
                return FormatOutcome::Fail(FormatError, r);
            // Still the very card that was checked (unmounting took a while).
            Card now;
            if (!FindCard(name, &now) || now.volume.identity != identity ||
                now.block.objectPath != card.block.objectPath)
                return FormatOutcome::Fail(FormatError, AccessError::NotFound, linux_detail::CardChangedText(name));
            QVariantMap options;
            if (!label.empty())
                options.insert("label", QString::fromStdString(label));
            // The card keeps its partition table and partition type as they are.
            options.insert("tear-down", false);
            options.insert("update-partition-type", false);
            // udisks2 from 2.10 on passes these to mkfs; older ones choose the
            // FAT size by the volume size, which the check below catches.
            if (fsName == "FAT32")
                options.insert("mkfs-args", QStringList{"-F", "32"});
            const CallResult f =
                Call(QString::fromStdString(card.block.objectPath), "org.freedesktop.UDisks2.Block", "Format",
                     {fsName == "FAT32" ? QString("vfat") : QString("exfat"), options}, kFormatTimeoutMs);
            if (!f.ok) {
                const bool dismissed = f.errorName == "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed" ||
                                       f.errorName == "org.freedesktop.UDisks2.Error.Cancelled";
                return FormatOutcome::Fail(dismissed ? FormatCancelled : FormatError,
                                           udisks_detail::FromDBusError(f.errorName, f.errorMessage, name, "format"));
            }
            // What was written is what the user asked for, or the user is told.
            Card after;
            if (!FindCard(name, &after))
                return FormatOutcome::Fail(FormatError, AccessError::NotFound, "The card is gone.");
            if (after.volume.fsName != fsName)
                return FormatOutcome::Fail(FormatError, AccessError::Io,
                                           name + " was formatted with " +
                                               (after.volume.fsName.empty() ? "no file system" : after.volume.fsName) +
                                               " instead of " + fsName +
                                               ": this udisks2 lets mkfs choose the FAT size by the card's size.");
            return FormatOutcome::Done();
        } catch (...) {
            return FormatOutcome::Fail(FormatError, AccessError::Io, "Formatting failed.");
        }
    }

private:
    // Unmounts through udisks2 what it knows, then whatever the mount table
    // still shows for the device (a mount udisks2 did not make).
    static AccessResult UnmountCard(const Card& card)
    {
        if (card.block.hasFilesystem && !card.block.mountPoints.empty()) {
            const CallResult r = Call(QString::fromStdString(card.block.objectPath),
                                      "org.freedesktop.UDisks2.Filesystem", "Unmount", {QVariantMap()}, kAuthTimeoutMs);
            if (!r.ok && r.errorName != "org.freedesktop.UDisks2.Error.NotMounted")
                return udisks_detail::FromDBusError(r.errorName, r.errorMessage, card.volume.name, "unmount");
        }
        const auto left =
            linux_detail::MountsOfDevice(linux_detail::ReadMountInfo(), static_cast<dev_t>(card.block.deviceNumber));
        if (left.empty())
            return AccessResult::Ok();
        std::string why;
        if (!linux_detail::UnmountDevice(static_cast<dev_t>(card.block.deviceNumber), &why))
            return AccessResult::Fail(AccessError::Io, "Cannot unmount " + card.volume.name + " from " +
                                                           left.front().mountPoint + ": " + why);
        return AccessResult::Ok();
    }
};

}  // namespace

std::unique_ptr<CardAccess> MakeUdisksAccess()
{
    return std::make_unique<UdisksAccess>();
}

}  // namespace platform
