// The udisks2 backend's reading of udisks2's objects, its choice of cards,
// its words for refusals, and the choice of backend. No daemon is needed
// here; desktop_services_test.cpp runs the backend against real services.
#include <gtest/gtest.h>

#include "support/scopedenv.h"
#include <sys/sysmacros.h>

#include <QByteArrayList>
#include <QDBusObjectPath>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/cardaccess.h"
#include "platform/linux/udisks_linux.h"
#include "support/loopcard.h"

namespace {

namespace ud = platform::udisks_detail;

const QString kRoot = "/org/freedesktop/UDisks2/";

QByteArray Bytes(const char* text)
{
    return QByteArray(text, static_cast<int>(std::strlen(text)) + 1);
}

ud::ObjectMap SampleObjects()
{
    ud::ObjectMap objects;
    ud::InterfaceMap reader;
    reader["org.freedesktop.UDisks2.Drive"] = {{"Removable", true}, {"MediaRemovable", true}, {"ConnectionBus", "usb"}};
    objects[QDBusObjectPath(kRoot + "drives/Reader")] = reader;

    ud::InterfaceMap card;
    card["org.freedesktop.UDisks2.Block"] = {{"Device", Bytes("/dev/sdb1")},
                                             {"DeviceNumber", QVariant::fromValue<qulonglong>(makedev(8, 17))},
                                             {"Size", QVariant::fromValue<qulonglong>(31914983424ull)},
                                             {"IdUsage", "filesystem"},
                                             {"IdType", "vfat"},
                                             {"IdVersion", "FAT32"},
                                             {"IdLabel", "EOS_DIGITAL"},
                                             {"IdUUID", "1234-ABCD"},
                                             {"HintSystem", false},
                                             {"HintIgnore", false},
                                             {"ReadOnly", true},
                                             {"Drive", QVariant::fromValue(QDBusObjectPath(kRoot + "drives/Reader"))}};
    card["org.freedesktop.UDisks2.Filesystem"] = {
        {"MountPoints", QVariant::fromValue(QByteArrayList{Bytes("/media/u/EOS_DIGITAL"), Bytes("/mnt/x")})}};
    card["org.freedesktop.UDisks2.Partition"] = {};
    objects[QDBusObjectPath(kRoot + "block_devices/sdb1")] = card;

    ud::InterfaceMap disk;
    disk["org.freedesktop.UDisks2.Block"] = {{"Device", Bytes("/dev/sdb")},
                                             {"Drive", QVariant::fromValue(QDBusObjectPath(kRoot + "drives/Reader"))}};
    disk["org.freedesktop.UDisks2.PartitionTable"] = {
        {"Partitions", QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(kRoot + "block_devices/sdb1")})}};
    objects[QDBusObjectPath(kRoot + "block_devices/sdb")] = disk;

    ud::InterfaceMap loop;
    loop["org.freedesktop.UDisks2.Block"] = {{"Device", Bytes("/dev/loop4")},
                                             {"Drive", QVariant::fromValue(QDBusObjectPath("/"))}};
    loop["org.freedesktop.UDisks2.Loop"] = {{"SetupByUID", QVariant::fromValue<uint>(1000)}};
    objects[QDBusObjectPath(kRoot + "block_devices/loop4")] = loop;

    // Not a block device at all.
    objects[QDBusObjectPath(kRoot + "Manager")] = {{"org.freedesktop.UDisks2.Manager", {}}};
    return objects;
}

const ud::BlockObject* ByName(const std::vector<ud::BlockObject>& blocks, const std::string& name)
{
    for (const auto& b : blocks)
        if (b.name == name)
            return &b;
    return nullptr;
}

TEST(UdisksObjects, BlockDriveAndFilesystemProperties)
{
    const auto blocks = ud::ParseManagedObjects(SampleObjects());
    ASSERT_EQ(blocks.size(), 3u);
    const auto* card = ByName(blocks, "sdb1");
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->objectPath, "/org/freedesktop/UDisks2/block_devices/sdb1");
    EXPECT_EQ(card->device, "/dev/sdb1");  // the trailing NUL of the byte string is gone
    EXPECT_EQ(card->deviceNumber, makedev(8, 17));
    EXPECT_EQ(card->sizeBytes, 31914983424ull);
    EXPECT_EQ(card->idType, "vfat");
    EXPECT_EQ(card->idVersion, "FAT32");
    EXPECT_EQ(card->idLabel, "EOS_DIGITAL");
    EXPECT_EQ(card->idUuid, "1234-ABCD");
    EXPECT_TRUE(card->readOnly);
    EXPECT_TRUE(card->hasFilesystem);
    EXPECT_EQ(card->mountPoints, (std::vector<std::string>{"/media/u/EOS_DIGITAL", "/mnt/x"}));
    EXPECT_TRUE(card->hasDrive);
    EXPECT_TRUE(card->driveRemovable);
    EXPECT_EQ(card->connectionBus, "usb");
    EXPECT_FALSE(card->holdsPartitions);

    const auto* disk = ByName(blocks, "sdb");
    ASSERT_NE(disk, nullptr);
    EXPECT_TRUE(disk->holdsPartitions);
    EXPECT_FALSE(disk->hasFilesystem);

    const auto* loop = ByName(blocks, "loop4");
    ASSERT_NE(loop, nullptr);
    EXPECT_TRUE(loop->isLoop);
    EXPECT_EQ(loop->loopSetupByUid, 1000u);
    EXPECT_FALSE(loop->hasDrive);
}

TEST(UdisksObjects, WhichBlocksAreCards)
{
    const auto blocks = ud::ParseManagedObjects(SampleObjects());
    const ud::BlockObject card = *ByName(blocks, "sdb1");
    const std::set<std::string> none;
    EXPECT_TRUE(ud::IsListable(card, false, "sdb", none, 1000));

    auto with = [&](auto change) {
        ud::BlockObject b = card;
        change(b);
        return ud::IsListable(b, true, "sdb", none, 1000);
    };
    EXPECT_FALSE(with([](ud::BlockObject& b) { b.hintSystem = true; }));
    EXPECT_FALSE(with([](ud::BlockObject& b) { b.hintIgnore = true; }));
    // A fixed disk on SATA is no card; a card reader on SDIO is.
    EXPECT_FALSE(with([](ud::BlockObject& b) {
        b.driveRemovable = false;
        b.connectionBus = "";
    }));
    EXPECT_TRUE(with([](ud::BlockObject& b) {
        b.driveRemovable = false;
        b.connectionBus = "sdio";
    }));
    EXPECT_FALSE(with([](ud::BlockObject& b) { b.hasDrive = false; }));
    // The name joins /dev/ and /sys/ paths: it must be the device's own.
    EXPECT_FALSE(with([](ud::BlockObject& b) { b.device = "/dev/mapper/sdb1"; }));
    EXPECT_FALSE(with([](ud::BlockObject& b) {
        b.name = "../sdb1";
        b.device = "/dev/../sdb1";
    }));
    // The disk behind /, swap or a live medium never shows, nor does a stack member.
    EXPECT_FALSE(ud::IsListable(card, false, "sdb", {"sdb"}, 1000));
    ud::BlockObject dm = card;
    dm.name = "dm-0";
    dm.device = "/dev/dm-0";
    EXPECT_FALSE(ud::IsListable(dm, false, "dm-0", none, 1000));
    // The partitioned disk is left to its partitions.
    EXPECT_FALSE(ud::IsListable(*ByName(blocks, "sdb"), false, "sdb", none, 1000));

    const ud::BlockObject loop = *ByName(blocks, "loop4");
    EXPECT_FALSE(ud::IsListable(loop, false, "loop4", none, 1000));
    EXPECT_TRUE(ud::IsListable(loop, true, "loop4", none, 1000));
    EXPECT_FALSE(ud::IsListable(loop, true, "loop4", {"loop4"}, 1000));
    // udisks2 calls every loop device a system one: only the user's own
    // image (attached by this user) is a card then.
    ud::BlockObject systemLoop = loop;
    systemLoop.hintSystem = true;
    systemLoop.loopSetupByUid = 0;
    EXPECT_FALSE(ud::IsListable(systemLoop, true, "loop4", none, 1000));
    systemLoop.loopSetupByUid = 1000;
    EXPECT_TRUE(ud::IsListable(systemLoop, true, "loop4", none, 1000));
    EXPECT_FALSE(ud::IsListable(systemLoop, true, "loop4", none, 1001));
}

TEST(UdisksErrors, RefusalsNameTheCardAndWhatToDo)
{
    for (const char* name :
         {"org.freedesktop.UDisks2.Error.NotAuthorized", "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain",
          "org.freedesktop.DBus.Error.AccessDenied"}) {
        const auto r = ud::FromDBusError(name, "Not authorized to perform operation", "sdb1", "open");
        EXPECT_EQ(r.error, platform::AccessError::Refused) << name;
        EXPECT_EQ(r.why,
                  "You are not allowed to open sdb1: the system's policy refused it. Ask an administrator, or run "
                  "Flintor with direct access as a member of the disk group.")
            << name;
    }
    auto dismissed = ud::FromDBusError("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed", "", "sdb1", "format");
    EXPECT_EQ(dismissed.error, platform::AccessError::Refused);
    EXPECT_EQ(dismissed.why, "The password dialog was closed, so sdb1 was not formatted.");

    auto gone = ud::FromDBusError("org.freedesktop.DBus.Error.ServiceUnknown", "", "sdb1", "mount");
    EXPECT_EQ(gone.error, platform::AccessError::Io);
    EXPECT_NE(gone.why.find("udisks2 is not running"), std::string::npos);
    auto other =
        ud::FromDBusError("org.freedesktop.UDisks2.Error.Failed", "Error mounting: wrong fs type", "sdb1", "mount");
    EXPECT_EQ(other.error, platform::AccessError::Io);
    EXPECT_EQ(other.why, "Cannot mount sdb1: Error mounting: wrong fs type");
}

TEST(BackendChoice, ParsesTheOptionWords)
{
    platform::BackendChoice c = platform::BackendChoice::Auto;
    ASSERT_TRUE(platform::ParseBackendChoice("UDisks2", &c));
    EXPECT_EQ(c, platform::BackendChoice::Udisks);
    for (const char* bad : {"", "udisks3", "direct "})
        EXPECT_FALSE(platform::ParseBackendChoice(bad, &c)) << bad;
    EXPECT_EQ(c, platform::BackendChoice::Udisks);  // untouched by a failed parse
}

TEST(BackendChoice, EnvironmentGivesTheDefaultOnly)
{
    std::string why;
    {
        testsupport::ScopedEnv env("FLINTOR_BACKEND", "udisks2");
        EXPECT_EQ(platform::MakeAccess(platform::BackendChoice::Auto, &why)->BackendName(), "udisks2");
        // An explicit choice wins over the environment.
        EXPECT_EQ(platform::MakeAccess(platform::BackendChoice::Direct, &why)->BackendName(), "direct");
    }
    {
        testsupport::ScopedEnv env("FLINTOR_BACKEND", "direct");
        EXPECT_EQ(platform::MakeAccess(platform::BackendChoice::Auto, &why)->BackendName(), "direct");
        EXPECT_EQ(platform::MakeAccess(platform::BackendChoice::Udisks, &why)->BackendName(), "udisks2");
    }
}

// Without any system bus the automatic choice is direct access, at once.
TEST(BackendChoice, AutoWithoutSystemBusIsDirectAndQuick)
{
    std::string out;
    const auto start = std::chrono::steady_clock::now();
    const int rc = testsupport::RunCommand({"env", "-u", "FLINTOR_BACKEND",
                                            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/flintor-no-bus",
                                            FLINTOR_CARDPROBE, "auto", "backend"},
                                           &out);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() /
        1000.0;
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("backend=direct\n"), std::string::npos) << out;
    EXPECT_NE(out.find("no system bus"), std::string::npos) << out;
    EXPECT_LT(seconds, 3.0);

    // A bogus FLINTOR_BACKEND is said and ignored.
    ASSERT_EQ(testsupport::RunCommand({"env", "FLINTOR_BACKEND=floppy",
                                       "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/flintor-no-bus",
                                       FLINTOR_CARDPROBE, "auto", "backend"},
                                      &out),
              0);
    EXPECT_NE(out.find("backend=direct\n"), std::string::npos) << out;
    EXPECT_NE(out.find("FLINTOR_BACKEND=floppy"), std::string::npos) << out;
}

}  // namespace
