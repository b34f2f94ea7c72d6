// Talking to udisks2 on the system bus: one call, the list of its block
// objects, whether it is there at all, and attaching and detaching images.

#include <fcntl.h>
#include <sys/stat.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>

#include <cerrno>

#include "platform/linux/fileio_linux.h"
#include "platform/linux/sysfs_linux.h"
#include "platform/linux/udisks_linux.h"
#include "platform/udisks.h"

namespace platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");

}  // namespace

namespace udisks_detail {

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

}  // namespace udisks_detail

using udisks_detail::BlockObject;
using udisks_detail::Call;
using udisks_detail::CallResult;
using udisks_detail::FetchBlocks;
using udisks_detail::kAuthTimeoutMs;

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

AccessResult UdisksLoopSetup(const std::string& imagePath, bool readOnly, std::string* loopName)
{
    const std::string shown =
        imagePath.substr(imagePath.rfind('/') == std::string::npos ? 0 : imagePath.rfind('/') + 1);
    const int raw = ::open(imagePath.c_str(), (readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    if (raw < 0)
        return linux_detail::DeviceErrno(errno, "Cannot open " + imagePath);
    linux_detail::Fd file(raw);
    struct stat st {};
    if (fstat(raw, &st) != 0 || !S_ISREG(st.st_mode))
        return AccessResult::Fail(AccessError::Unsupported, imagePath + " is not an image file");
    // A second loop device over the same file would mount its file system a
    // second time, each with a cache of its own.
    const auto serving =
        linux_detail::LoopDevicesServing({static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
    if (!serving.empty())
        return AccessResult::Fail(AccessError::Unsupported,
                                  shown + " is already attached as " + linux_detail::DeviceList(serving) +
                                      "; attaching it again would mount its file system twice. Use that device, or "
                                      "detach it first.");
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
