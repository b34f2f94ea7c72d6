// The pure part of the udisks2 backend: reading udisks2's objects, choosing
// the cards among them, and words for its errors.

#include <QDBusArgument>

#include "platform/linux/sysfs_linux.h"
#include "platform/linux/systemdisks_linux.h"
#include "platform/linux/udisks_linux.h"

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

}  // namespace platform
