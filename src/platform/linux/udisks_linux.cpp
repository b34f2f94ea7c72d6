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
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

#include "platform/linux/volumes_linux.h"
#include "platform/udisks.h"
#include "platform/volumes.h"

namespace platform {

namespace udisks_detail {

namespace {

const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kLoop = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString kPartitionTable = QStringLiteral("org.freedesktop.UDisks2.PartitionTable");

// A byte string property ("ay"): udisks2 ends it with a NUL.
std::string BytesText(const QByteArray& bytes)
{
    std::string text(bytes.constData(), static_cast<size_t>(bytes.size()));
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

template <typename T> T Unmarshal(const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        T out{};
        value.value<QDBusArgument>() >> out;
        return out;
    }
    return value.value<T>();
}

std::string Text(const QVariantMap& props, const char* key)
{
    return props.value(key).toString().toStdString();
}

}  // namespace

std::vector<BlockObject> ParseManagedObjects(const ObjectMap& objects)
{
    std::vector<BlockObject> blocks;
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        const InterfaceMap& ifaces = it.value();
        if (!ifaces.contains(kBlock))
            continue;
        const QVariantMap& b = ifaces[kBlock];
        BlockObject o;
        o.objectPath = it.key().path().toStdString();
        o.device = BytesText(Unmarshal<QByteArray>(b.value("Device")));
        const auto slash = o.device.rfind('/');
        o.name = slash == std::string::npos ? o.device : o.device.substr(slash + 1);
        o.deviceNumber = b.value("DeviceNumber").toULongLong();
        o.sizeBytes = b.value("Size").toULongLong();
        o.idUsage = Text(b, "IdUsage");
        o.idType = Text(b, "IdType");
        o.idVersion = Text(b, "IdVersion");
        o.idLabel = Text(b, "IdLabel");
        o.idUuid = Text(b, "IdUUID");
        o.hintSystem = b.value("HintSystem").toBool();
        o.hintIgnore = b.value("HintIgnore").toBool();
        o.readOnly = b.value("ReadOnly").toBool();
        o.isLoop = ifaces.contains(kLoop);
        if (o.isLoop)
            o.loopSetupByUid = ifaces[kLoop].value("SetupByUID").toUInt();
        if (ifaces.contains(kPartitionTable))
            o.holdsPartitions =
                !Unmarshal<QList<QDBusObjectPath>>(ifaces[kPartitionTable].value("Partitions")).isEmpty();
        if (ifaces.contains(kFilesystem)) {
            o.hasFilesystem = true;
            for (const QByteArray& mp : Unmarshal<QByteArrayList>(ifaces[kFilesystem].value("MountPoints")))
                o.mountPoints.push_back(BytesText(mp));
        }
        const QDBusObjectPath drive = Unmarshal<QDBusObjectPath>(b.value("Drive"));
        auto d = objects.constFind(drive);
        if (drive.path() != "/" && d != objects.constEnd() && d.value().contains(kDrive)) {
            const QVariantMap& dp = d.value()[kDrive];
            o.hasDrive = true;
            o.driveRemovable = dp.value("Removable").toBool() || dp.value("MediaRemovable").toBool();
            o.connectionBus = Text(dp, "ConnectionBus");
        }
        blocks.push_back(std::move(o));
    }
    return blocks;
}

bool IsListable(const BlockObject& block, bool includeLoop, const std::string& disk,
                const std::set<std::string>& neverListed, uint32_t uid)
{
    if (block.hintIgnore)
        return false;
    if (block.hintSystem && !(block.isLoop && block.loopSetupByUid == uid))
        return false;
    if (!linux_detail::IsPlainKernelName(block.name) || block.device != "/dev/" + block.name)
        return false;
    if (block.holdsPartitions)
        return false;  // its partitions are the cards
    if (disk.empty() || neverListed.count(disk) || neverListed.count(block.name))
        return false;
    if (linux_detail::IsStackDevice(block.name))
        return false;
    if (block.isLoop || disk.rfind("loop", 0) == 0)
        return includeLoop;
    if (!block.hasDrive)
        return false;  // nothing physical behind it
    if (disk.rfind("sr", 0) == 0)
        return false;  // optical drives
    return block.driveRemovable || block.connectionBus == "usb" || block.connectionBus == "sdio";
}

AccessResult FromDBusError(const std::string& errorName, const std::string& message, const std::string& card,
                           const std::string& doing)
{
    const std::string prefix = "org.freedesktop.UDisks2.Error.";
    if (errorName == prefix + "NotAuthorizedDismissed" || errorName == prefix + "Cancelled")
        return AccessResult::Fail(AccessError::Refused, "The password dialog was closed, so " + card + " was not " +
                                                            (doing == "open"     ? "opened"
                                                             : doing == "format" ? "formatted"
                                                             : doing == "mount"  ? "mounted"
                                                             : doing == "attach" ? "attached"
                                                                                 : "unmounted") +
                                                            ".");
    if (errorName.rfind(prefix + "NotAuthorized", 0) == 0 || errorName == "org.freedesktop.DBus.Error.AccessDenied")
        return AccessResult::Fail(AccessError::Refused,
                                  "You are not allowed to " + doing + " " + card +
                                      ": the system's policy refused it. Ask an administrator, or run Flintor "
                                      "with direct access as a member of the disk group.");
    if (errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        errorName == "org.freedesktop.DBus.Error.NoServer" || errorName == "org.freedesktop.DBus.Error.Disconnected")
        return AccessResult::Fail(AccessError::Io, "Cannot " + doing + " " + card + ": udisks2 is not running.");
    if (errorName == "org.freedesktop.DBus.Error.NoReply" || errorName == "org.freedesktop.DBus.Error.Timeout")
        return AccessResult::Fail(AccessError::Io, "Cannot " + doing + " " + card + ": udisks2 did not answer.");
    if (errorName == "org.freedesktop.DBus.Error.UnknownObject" ||
        (errorName == "org.freedesktop.DBus.Error.UnknownMethod" && message.find("doesn't exist") != std::string::npos))
        return AccessResult::Fail(AccessError::NotFound, card + " is not a removable card any more");
    std::string text = "Cannot " + doing + " " + card;
    if (!message.empty())
        text += ": " + message;
    return AccessResult::Fail(AccessError::Io, text);
}

}  // namespace udisks_detail

namespace {

using udisks_detail::BlockObject;

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
// Listing and property reads answer at once.
constexpr int kQuickTimeoutMs = 25 * 1000;
// Anything polkit decides may wait for the user to type a password.
constexpr int kAuthTimeoutMs = 5 * 60 * 1000;
// mkfs on a large card takes a while, on top of a password dialog.
constexpr int kFormatTimeoutMs = 15 * 60 * 1000;

std::string NotFoundText(const std::string& name)
{
    return name + " is not a removable card any more";
}

std::string DevKey(uint64_t dev)
{
    return std::to_string(major(static_cast<dev_t>(dev))) + ":" + std::to_string(minor(static_cast<dev_t>(dev)));
}

struct CallResult {
    bool ok = false;
    QList<QVariant> arguments;
    std::string errorName;
    std::string errorMessage;
};

CallResult Call(const QString& path, const QString& iface, const QString& method, const QList<QVariant>& args,
                int timeoutMs)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(kService, path, iface, method);
    msg.setArguments(args);
    // Allows polkit to show its dialog instead of refusing outright.
    msg.setInteractiveAuthorizationAllowed(true);
    const QDBusMessage reply = QDBusConnection::systemBus().call(msg, QDBus::Block, timeoutMs);
    CallResult r;
    if (reply.type() == QDBusMessage::ReplyMessage) {
        r.ok = true;
        r.arguments = reply.arguments();
    } else {
        r.errorName = reply.errorName().toStdString();
        r.errorMessage = reply.errorMessage().toStdString();
        if (r.errorName.empty())
            r.errorName = "org.freedesktop.DBus.Error.Failed";
    }
    return r;
}

// The card's block object and the volume the listing shows for it.
struct Card {
    BlockObject block;
    Volume volume;
};

bool FetchBlocks(std::vector<BlockObject>* blocks)
{
    const CallResult r = Call("/org/freedesktop/UDisks2", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", {},
                              kQuickTimeoutMs);
    if (!r.ok || r.arguments.isEmpty())
        return false;
    udisks_detail::ObjectMap objects;
    const QVariant& v = r.arguments.front();
    if (v.metaType() != QMetaType::fromType<QDBusArgument>())
        return false;
    v.value<QDBusArgument>() >> objects;
    *blocks = udisks_detail::ParseManagedObjects(objects);
    return true;
}

Volume ToVolume(const BlockObject& b, const std::vector<linux_detail::MountEntry>& mounts)
{
    Volume v;
    v.name = b.name;
    v.device = b.device;
    v.label = b.idLabel;
    v.fsName = linux_detail::FileSystemName(b.idType, b.idVersion);
    v.sizeBytes = b.sizeBytes;
    v.sectorSize = linux_detail::LogicalSectorSize(b.name);
    const auto own = linux_detail::MountsOfDevice(mounts, static_cast<dev_t>(b.deviceNumber));
    if (!b.mountPoints.empty())
        v.mountPoint = b.mountPoints.front();
    // udisks2 knows no mount point of a file system in user space that has no
    // device number; the mount table names the device as its source.
    if (v.mountPoint.empty() && !own.empty())
        v.mountPoint = own.front().mountPoint;
    for (const auto& m : own) {
        if (m.mountPoint == v.mountPoint)
            v.userSpaceMount = m.fsType == "fuseblk" || m.fsType.rfind("fuse", 0) == 0;
    }
    v.readOnly = b.readOnly || linux_detail::SysfsReadOnly(b.name);
    v.identity = DevKey(b.deviceNumber) + ":" + std::to_string(b.sizeBytes) + ":" + b.idUuid;
    return v;
}

std::vector<Card> ListCards()
{
    std::vector<Card> cards;
    std::vector<BlockObject> blocks;
    if (!FetchBlocks(&blocks))
        return cards;
    const auto never = linux_detail::NeverListedDisks();
    const auto mounts = linux_detail::ReadMountInfo();
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
    std::sort(cards.begin(), cards.end(), [](const Card& a, const Card& b) {
        // Natural order, as the direct backend gives it: "sdb2" before "sdb10".
        const std::string& x = a.volume.name;
        const std::string& y = b.volume.name;
        size_t i = 0, j = 0;
        while (i < x.size() && j < y.size()) {
            if (std::isdigit(static_cast<unsigned char>(x[i])) && std::isdigit(static_cast<unsigned char>(y[j]))) {
                size_t i2 = i, j2 = j;
                while (i2 < x.size() && std::isdigit(static_cast<unsigned char>(x[i2])))
                    ++i2;
                while (j2 < y.size() && std::isdigit(static_cast<unsigned char>(y[j2])))
                    ++j2;
                std::string nx = x.substr(i, i2 - i), ny = y.substr(j, j2 - j);
                nx.erase(0, std::min(nx.find_first_not_of('0'), nx.size()));
                ny.erase(0, std::min(ny.find_first_not_of('0'), ny.size()));
                if (nx.size() != ny.size())
                    return nx.size() < ny.size();
                if (nx != ny)
                    return nx < ny;
                i = i2;
                j = j2;
            } else {
                if (x[i] != y[j])
                    return x[i] < y[j];
                ++i;
                ++j;
            }
        }
        return x.size() - i < y.size() - j;
    });
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

AccessResult FromErrno(int error, const std::string& what)
{
    return linux_detail::DeviceErrno(error, what);
}

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
    struct stat st {};
    if (fstat(own, &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != static_cast<dev_t>(card.block.deviceNumber))
        return AccessResult::Fail(AccessError::NotFound, card.volume.device + " is no longer the card that was listed");
    return AccessResult::Ok();
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

    int Format(const std::string& name, const std::string& fsName, const std::string& label,
               std::string* errorText) override
    {
        std::string dummy;
        std::string& err = errorText ? *errorText : dummy;
        err.clear();
        try {
            Card card;
            if (!FindCard(name, &card)) {
                err = "Not a removable card: " + name;
                return FormatNotFormatable;
            }
            if (fsName != "FAT32" && fsName != "exFAT") {
                err = "Cannot format as " + fsName;
                return FormatNotFormatable;
            }
            if (card.volume.readOnly) {
                err = card.volume.device + " is write-protected";
                return FormatError;
            }
            std::string why;
            if (!linux_detail::ValidFormatLabel(fsName, label, &why)) {
                err = why;
                return FormatError;
            }
            AccessResult r = UnmountCard(card);
            if (!r.ok()) {
                err = r.why;
                return FormatError;
            }
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
                r = udisks_detail::FromDBusError(f.errorName, f.errorMessage, name, "format");
                err = r.why;
                return f.errorName == "org.freedesktop.UDisks2.Error.NotAuthorizedDismissed" ||
                               f.errorName == "org.freedesktop.UDisks2.Error.Cancelled"
                           ? FormatCancelled
                           : FormatError;
            }
            // What was written is what the user asked for, or the user is told.
            Card after;
            if (!FindCard(name, &after)) {
                err = "The card is gone.";
                return FormatError;
            }
            if (after.volume.fsName != fsName) {
                err = name + " was formatted with " +
                      (after.volume.fsName.empty() ? "no file system" : after.volume.fsName) + " instead of " + fsName +
                      ": this udisks2 lets mkfs choose the FAT size by the card's size.";
                return FormatError;
            }
            return FormatDone;
        } catch (...) {
            err = "Formatting failed.";
            return FormatError;
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

bool UdisksServiceAvailable(std::string* why)
{
    auto say = [&](const std::string& text) {
        if (why)
            *why = text;
    };
    // Without a system bus the connection fails at once (no socket).
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        say("there is no system bus");
        return false;
    }
    auto ask = [&](const char* method, const QList<QVariant>& args, QVariant* answer) {
        QDBusMessage msg = QDBusMessage::createMethodCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                          "org.freedesktop.DBus", method);
        msg.setArguments(args);
        const QDBusMessage reply = bus.call(msg, QDBus::Block, 3000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return false;
        *answer = reply.arguments().front();
        return true;
    };
    QVariant answer;
    if (ask("NameHasOwner", {kService}, &answer) && answer.toBool()) {
        say("udisks2 is running on the system bus");
        return true;
    }
    if (ask("ListActivatableNames", {}, &answer) && answer.toStringList().contains(kService)) {
        say("udisks2 can be started on the system bus");
        return true;
    }
    say("udisks2 is not on the system bus");
    return false;
}

std::unique_ptr<CardAccess> MakeUdisksAccess()
{
    return std::make_unique<UdisksAccess>();
}

AccessResult UdisksLoopSetup(const std::string& imagePath, bool readOnly, std::string* loopName)
{
    const std::string shown =
        imagePath.substr(imagePath.rfind('/') == std::string::npos ? 0 : imagePath.rfind('/') + 1);
    const int raw = ::open(imagePath.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (raw < 0)
        return FromErrno(errno, "Cannot open " + imagePath);
    Fd file(raw);
    struct stat st {};
    if (fstat(raw, &st) != 0 || !S_ISREG(st.st_mode))
        return AccessResult::Fail(AccessError::Unsupported, imagePath + " is not an image file");
    QVariantMap options;
    options.insert("read-only", readOnly);
    // QDBusUnixFileDescriptor keeps a copy of its own; ours closes with `file`.
    const CallResult r = Call("/org/freedesktop/UDisks2/Manager", "org.freedesktop.UDisks2.Manager", "LoopSetup",
                              {QVariant::fromValue(QDBusUnixFileDescriptor(raw)), options}, kAuthTimeoutMs);
    if (!r.ok)
        return udisks_detail::FromDBusError(r.errorName, r.errorMessage, shown, "attach");
    if (r.arguments.isEmpty())
        return AccessResult::Fail(AccessError::Io, "udisks2 attached " + shown + " but said not where");
    const QString path = r.arguments.front().value<QDBusObjectPath>().path();
    std::vector<BlockObject> blocks;
    if (FetchBlocks(&blocks)) {
        for (const auto& b : blocks) {
            if (QString::fromStdString(b.objectPath) != path)
                continue;
            if (loopName)
                *loopName = b.name;
            return AccessResult::Ok();
        }
    }
    return AccessResult::Fail(AccessError::Io, "udisks2 attached " + shown + " but its device is not listed");
}

AccessResult UdisksLoopDelete(const std::string& loopName)
{
    std::vector<BlockObject> blocks;
    if (!FetchBlocks(&blocks))
        return AccessResult::Fail(AccessError::Io, "udisks2 does not answer");
    for (const auto& b : blocks) {
        if (b.name != loopName)
            continue;
        const CallResult r = Call(QString::fromStdString(b.objectPath), "org.freedesktop.UDisks2.Loop", "Delete",
                                  {QVariantMap()}, kAuthTimeoutMs);
        if (!r.ok)
            return udisks_detail::FromDBusError(r.errorName, r.errorMessage, loopName, "detach");
        return AccessResult::Ok();
    }
    return AccessResult::Fail(AccessError::NotFound, loopName + " is not attached");
}

}  // namespace platform
