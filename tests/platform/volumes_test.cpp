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

using testsupport::DirectCards;
using testsupport::IncludeLoopScope;

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

TEST(UdevData, FileSystemAndLabelFromTheDatabase)
{
    const std::string text = "S:disk/by-label/NO\\x20NAME\n"
                             "E:ID_FS_TYPE=vfat\n"
                             "E:ID_FS_VERSION=FAT32\n"
                             "E:ID_FS_LABEL=NO_NAME\n"
                             "E:ID_FS_LABEL_ENC=NO\\x20NAME\n"
                             "E:=broken\n"
                             "G:systemd\n";
    const auto values = ld::ParseUdevData(text);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0], (std::pair<std::string, std::string>{"ID_FS_TYPE", "vfat"}));
    EXPECT_EQ(values[3].second, "NO\\x20NAME");
    EXPECT_EQ(ld::DecodeUdevEscapes("NO\\x20NAME"), "NO NAME");
    EXPECT_EQ(ld::DecodeUdevEscapes("A\\x2fB\\x5"), "A/B\\x5");  // an escape cut short stays as it is
    EXPECT_EQ(ld::DecodeUdevEscapes("\\xZZ"), "\\xZZ");

    EXPECT_EQ(ld::FileSystemName("vfat", "FAT32"), "FAT32");
    EXPECT_EQ(ld::FileSystemName("vfat", "FAT16"), "FAT");
    EXPECT_EQ(ld::FileSystemName("vfat", "FAT12"), "FAT");
    EXPECT_EQ(ld::FileSystemName("exfat", "1.0"), "exFAT");
    EXPECT_EQ(ld::FileSystemName("ntfs", ""), "ntfs");
    EXPECT_EQ(ld::FileSystemName("", ""), "");
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
    for (const auto& v : DirectCards().ListVolumes()) {
        for (const auto& d : systemDisks) {
            EXPECT_NE(v.name.rfind(d, 0), 0u) << v.name << " belongs to system disk " << d;
        }
    }
    EXPECT_FALSE(DirectCards().FindVolume(root, nullptr));
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/sys/block/" + root, ec)) {
        if (systemDisks.empty()) {
            GTEST_SKIP() << "the root file system is not on a block device here";
        }
        EXPECT_FALSE(DirectCards().FindVolume(e.path().filename().string(), nullptr)) << e.path();
    }
}

TEST(Volumes, LoopCardsOnlyWhenSwitchedOn)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL"})) << card.error();

    platform::SetIncludeLoop(false);
    EXPECT_FALSE(platform::IncludeLoop());
    EXPECT_EQ(Find(DirectCards().ListVolumes(), card.name()), nullptr);
    EXPECT_FALSE(DirectCards().FindVolume(card.name(), nullptr));

    IncludeLoopScope loops(true);
    EXPECT_TRUE(platform::IncludeLoop());
    EXPECT_NE(Find(DirectCards().ListVolumes(), card.name()), nullptr);
    Volume v;
    ASSERT_TRUE(DirectCards().FindVolume(card.name(), &v));
    EXPECT_EQ(v.device, card.device());

    // A detached loop device has size 0 and disappears from the list.
    const std::string name = card.name();
    ASSERT_TRUE(card.Detach()) << card.error();
    EXPECT_FALSE(DirectCards().FindVolume(name, nullptr));
    for (const auto& other : DirectCards().ListVolumes())
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
    const auto list = DirectCards().ListVolumes();
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
    ASSERT_TRUE(DirectCards().FindVolume(cards[4]->name(), &before));
    std::string out;
    ASSERT_EQ(testsupport::RunCommand({"mkfs.exfat", "-L", "OTHER", cards[4]->device()}, &out), 0) << out;
    ASSERT_TRUE(DirectCards().FindVolume(cards[4]->name(), &after));
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
    const auto list = DirectCards().ListVolumes();

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
    EXPECT_FALSE(DirectCards().FindVolume(parted.diskDevice().substr(5), nullptr));
}

}  // namespace
