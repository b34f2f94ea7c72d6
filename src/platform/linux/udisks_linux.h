// The udisks2 backend of CardAccess: an ordinary desktop user reaches cards
// through the udisks2 daemon on the system bus, and polkit decides what the
// user may do. Private to src/platform/linux and its tests.
#pragma once

#include <QDBusObjectPath>
#include <QMap>
#include <QString>
#include <QVariant>
#include <QVariantMap>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/cardaccess.h"

namespace platform::udisks_detail {

// The answer of org.freedesktop.DBus.ObjectManager.GetManagedObjects:
// object path -> interface name -> property name -> value.
using InterfaceMap = QMap<QString, QVariantMap>;
using ObjectMap = QMap<QDBusObjectPath, InterfaceMap>;

// What the listing takes from one udisks2 block object and its drive.
struct BlockObject {
    std::string objectPath;
    std::string device;  // "/dev/sdb1"
    std::string name;    // kernel name, "sdb1"
    uint64_t deviceNumber = 0;
    uint64_t sizeBytes = 0;
    std::string idUsage, idType, idVersion, idLabel, idUuid;
    bool hintSystem = false;
    bool hintIgnore = false;
    bool readOnly = false;
    bool isLoop = false;           // has the Loop interface
    uint32_t loopSetupByUid = 0;   // Loop.SetupByUID: who attached it (0: root or not through udisks2)
    bool holdsPartitions = false;  // a partition table with partitions: only its partitions are cards
    bool hasFilesystem = false;    // has the Filesystem interface (mountable)
    std::vector<std::string> mountPoints;
    bool hasDrive = false;        // Drive names an object that was found
    bool driveRemovable = false;  // Removable or MediaRemovable
    std::string connectionBus;    // "usb", "sdio", ...
};

// Block objects of a GetManagedObjects answer, in no particular order.
// Values may be plain (QByteArray, QByteArrayList) or still marshalled
// (QDBusArgument), as Qt D-Bus hands them over.
std::vector<BlockObject> ParseManagedObjects(const ObjectMap& objects);

// Whether a block object is a card the user `uid` may choose. `disk` is the
// kernel name of its whole disk; `neverListed` the disks that are never
// offered. udisks2 marks every loop device as a system device; one the user
// attached (a card image of theirs) is listed all the same.
bool IsListable(const BlockObject& block, bool includeLoop, const std::string& disk,
                const std::set<std::string>& neverListed, uint32_t uid);

// Turns a D-Bus error into an AccessResult with words for the user naming the
// card and what was being done ("open", "format", "mount", "unmount").
AccessResult FromDBusError(const std::string& errorName, const std::string& message, const std::string& card,
                           const std::string& doing);

// Time-outs of calls to udisks2. Listing and property reads answer at once;
// anything polkit decides may wait for the user to type a password; mkfs on a
// large card takes a while, on top of a password dialog.
constexpr int kQuickTimeoutMs = 25 * 1000;
constexpr int kAuthTimeoutMs = 5 * 60 * 1000;
constexpr int kFormatTimeoutMs = 15 * 60 * 1000;

// The answer of one method call to udisks2 on the system bus.
struct CallResult {
    bool ok = false;
    QList<QVariant> arguments;
    std::string errorName;
    std::string errorMessage;
};

// Calls a method of a udisks2 object, allowing polkit to ask the user.
CallResult Call(const QString& path, const QString& iface, const QString& method, const QList<QVariant>& args,
                int timeoutMs);

// The block objects udisks2 knows now; false when it does not answer.
bool FetchBlocks(std::vector<BlockObject>* blocks);

}  // namespace platform::udisks_detail

namespace platform {

// Whether udisks2 answers on the system bus (or can be started by it). Quick:
// gives false at once when there is no system bus at all.
bool UdisksServiceAvailable(std::string* why);

std::unique_ptr<CardAccess> MakeUdisksAccess();

}  // namespace platform
