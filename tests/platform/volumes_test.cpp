#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>

#include "platform/linux/volumes_linux.h"
#include "platform/volumes.h"
#include "support/loopcard.h"

namespace {

using platform::Volume;
namespace ld = platform::linux_detail;

// Switches the loop listing on for one test and off again afterwards.
struct IncludeLoopScope {
    explicit IncludeLoopScope(bool on) { platform::SetIncludeLoop(on); }
    ~IncludeLoopScope() { platform::SetIncludeLoop(false); }
};

const Volume* Find(const std::vector<Volume>& list, const std::string& name)
{
    for (const auto& v : list)
        if (v.name == name)
            return &v;
    return nullptr;
}

// Name of the whole disk that holds `path`'s file system, "" if it has none.
std::string DiskOf(const std::string& path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || major(st.st_dev) == 0)
        return {};
    std::error_code ec;
    auto real = std::filesystem::canonical(
        "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)), ec);
    if (ec)
        return {};
    if (std::filesystem::exists(real / "partition"))
        return real.parent_path().filename().string();
    return real.filename().string();
}

TEST(MountInfo, DecodesOctalEscapes)
{
    EXPECT_EQ(ld::DecodeMountField("/media/my\\040card"), "/media/my card");
    EXPECT_EQ(ld::DecodeMountField("a\\011b\\012c\\134d"), "a\tb\nc\\d");
    // Not an escape: left as it is.
    EXPECT_EQ(ld::DecodeMountField("x\\08y"), "x\\08y");
    EXPECT_EQ(ld::DecodeMountField("end\\04"), "end\\04");
    EXPECT_EQ(ld::DecodeMountField("\\"), "\\");
}

TEST(MountInfo, ParsesLinesWithOptionalFields)
{
    ld::MountEntry e;
    ASSERT_TRUE(ld::ParseMountInfoLine(
        "36 35 98:0 /mnt1 /mnt/my\\040card rw,noatime master:1 shared:7 - fuseblk /dev/loop3 rw,user_id=0", &e));
    EXPECT_EQ(e.major, 98u);
    EXPECT_EQ(e.minor, 0u);
    EXPECT_EQ(e.mountPoint, "/mnt/my card");
    EXPECT_EQ(e.fsType, "fuseblk");
    EXPECT_EQ(e.source, "/dev/loop3");

    ASSERT_TRUE(ld::ParseMountInfoLine("26 1 254:0 / / rw,relatime - ext4 /dev/vda rw", &e));
    EXPECT_EQ(e.major, 254u);
    EXPECT_EQ(e.mountPoint, "/");

    EXPECT_FALSE(ld::ParseMountInfoLine("", &e));
    EXPECT_FALSE(ld::ParseMountInfoLine("26 1 254:0 / / rw,relatime ext4 /dev/vda rw", &e));  // no separator
    EXPECT_FALSE(ld::ParseMountInfoLine("26 1 x:0 / / rw - ext4 /dev/vda rw", &e));
}

TEST(MountInfo, SystemPathsAndKernelNames)
{
    for (const char* p : {"/", "/boot", "/boot/efi", "/usr", "/usr/local", "/var", "/home"})
        EXPECT_TRUE(ld::IsSystemMountPoint(p)) << p;
    for (const char* p : {"/media/card", "/mnt", "/homework", "/variable", "/run/media/u/EOS_DIGITAL"})
        EXPECT_FALSE(ld::IsSystemMountPoint(p)) << p;
    for (const char* n : {"sdb1", "mmcblk0p1", "loop3", "nvme0n1p2"})
        EXPECT_TRUE(ld::IsPlainKernelName(n)) << n;
    for (const char* n : {"", "../etc", "sd/b", ".", "sdb 1", "loop0\n"})
        EXPECT_FALSE(ld::IsPlainKernelName(n)) << n;
}

TEST(Volumes, RootDiskIsNeverListed)
{
    IncludeLoopScope loops(true);
    const std::string root = DiskOf("/");
    std::set<std::string> systemDisks;
    for (const char* p : {"/", "/usr", "/var", "/home", "/boot"}) {
        const std::string d = DiskOf(p);
        if (!d.empty())
            systemDisks.insert(d);
    }
    if (systemDisks.empty())
        GTEST_SKIP() << "the root file system is not on a block device here";
    for (const auto& v : platform::ListRemovableVolumes()) {
        for (const auto& d : systemDisks) {
            EXPECT_NE(v.name.rfind(d, 0), 0u) << v.name << " belongs to system disk " << d;
        }
    }
    EXPECT_FALSE(platform::FindVolume(root, nullptr));
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/block/" + root, ec)) {
        if (systemDisks.empty()) {
            GTEST_SKIP() << "the root file system is not on a block device here";
        }
        EXPECT_FALSE(platform::FindVolume(e.path().filename().string(), nullptr)) << e.path();
    }
}

TEST(Volumes, LoopCardsOnlyWhenSwitchedOn)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL"})) << card.error();

    platform::SetIncludeLoop(false);
    EXPECT_FALSE(platform::IncludeLoop());
    EXPECT_EQ(Find(platform::ListRemovableVolumes(), card.name()), nullptr);
    EXPECT_FALSE(platform::FindVolume(card.name(), nullptr));

    IncludeLoopScope loops(true);
    EXPECT_TRUE(platform::IncludeLoop());
    EXPECT_NE(Find(platform::ListRemovableVolumes(), card.name()), nullptr);
    Volume v;
    ASSERT_TRUE(platform::FindVolume(card.name(), &v));
    EXPECT_EQ(v.device, card.device());

    // A detached loop device has size 0 and disappears from the list.
    const std::string name = card.name();
    ASSERT_TRUE(card.Detach()) << card.error();
    EXPECT_FALSE(platform::FindVolume(name, nullptr));
    for (const auto& other : platform::ListRemovableVolumes())
        EXPECT_GT(other.sizeBytes, 0u);
}

TEST(Volumes, ReportsLabelFileSystemSizeAndMountPoint)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    struct Case {
        std::string fs, label, expectFs;
        uint64_t size;
        bool mount;
    };
    const std::vector<Case> cases = {
        {"FAT12", "SMALL", "FAT", 8ull << 20, false},         {"FAT16", "CANON_DC", "FAT", 32ull << 20, true},
        {"FAT32", "EOS_DIGITAL", "FAT32", 64ull << 20, true}, {"exFAT", "EXCARD", "exFAT", 64ull << 20, true},
        {"exFAT", "", "exFAT", 48ull << 20, false},
    };
    std::vector<std::unique_ptr<testsupport::LoopCard>> cards;
    for (const auto& c : cases) {
        cards.push_back(std::make_unique<testsupport::LoopCard>());
        ASSERT_TRUE(cards.back()->Create({.fsType = c.fs, .label = c.label, .sizeBytes = c.size}))
            << c.fs << ": " << cards.back()->error();
        if (c.mount) {
            ASSERT_TRUE(cards.back()->Mount()) << c.fs << ": " << cards.back()->error();
        }
    }
    IncludeLoopScope loops(true);
    const auto list = platform::ListRemovableVolumes();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].fs + " " + cases[i].label);
        const Volume* v = Find(list, cards[i]->name());
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->device, cards[i]->device());
        EXPECT_EQ(v->fsName, cases[i].expectFs);
        EXPECT_EQ(v->label, cases[i].label);
        EXPECT_EQ(v->sizeBytes, cases[i].size);
        EXPECT_EQ(v->sectorSize, 512u);
        EXPECT_EQ(v->mountPoint, cards[i]->mountPoint());
        struct stat st {};
        ASSERT_EQ(stat(cards[i]->device().c_str(), &st), 0);
        const std::string devKey = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)) + ":";
        EXPECT_EQ(v->identity.rfind(devKey, 0), 0u) << v->identity;
        EXPECT_NE(v->identity.find(":" + std::to_string(cases[i].size) + ":"), std::string::npos) << v->identity;
    }
    // Name order, digits compared as numbers ("loop9" before "loop10").
    std::vector<int> loopNumbers;
    for (const auto& v : list)
        if (v.name.rfind("loop", 0) == 0 && v.name.find('p', 4) == std::string::npos)
            loopNumbers.push_back(std::stoi(v.name.substr(4)));
    EXPECT_TRUE(std::is_sorted(loopNumbers.begin(), loopNumbers.end()));
    // The identity changes when the medium is formatted anew (new serial).
    Volume before, after;
    ASSERT_TRUE(platform::FindVolume(cards[4]->name(), &before));
    std::string out;
    ASSERT_EQ(testsupport::RunCommand({"mkfs.exfat", "-L", "OTHER", cards[4]->device()}, &out), 0) << out;
    ASSERT_TRUE(platform::FindVolume(cards[4]->name(), &after));
    EXPECT_EQ(after.label, "OTHER");
    EXPECT_NE(before.identity, after.identity);
}

TEST(Volumes, UnformattedAndPartitionedCards)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard blank, parted;
    ASSERT_TRUE(blank.Create({.fsType = "", .label = "", .sizeBytes = 16ull << 20})) << blank.error();
    ASSERT_TRUE(parted.Create({.fsType = "exFAT", .label = "PARTED", .sizeBytes = 64ull << 20, .partitioned = true}))
        << parted.error();
    IncludeLoopScope loops(true);
    const auto list = platform::ListRemovableVolumes();

    const Volume* b = Find(list, blank.name());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->fsName, "");
    EXPECT_EQ(b->label, "");

    // A disk with a partition table lists its partitions, not itself.
    EXPECT_EQ(parted.name(), parted.diskDevice().substr(5) + "p1");
    EXPECT_EQ(Find(list, parted.diskDevice().substr(5)), nullptr);
    const Volume* p = Find(list, parted.name());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->fsName, "exFAT");
    EXPECT_EQ(p->label, "PARTED");
    EXPECT_EQ(p->sizeBytes, parted.volumeSize());
    EXPECT_FALSE(platform::FindVolume(parted.diskDevice().substr(5), nullptr));
}

}  // namespace
