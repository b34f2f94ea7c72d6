// The rules that keep system disks out of every listing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/linux/sysfs_linux.h"
#include "platform/linux/systemdisks_linux.h"

namespace {

namespace ld = platform::linux_detail;
namespace fs = std::filesystem;

TEST(NeverListed, SystemFoldersLiveMediaAndBootPathsAreSystemPaths)
{
    for (const char* p : {"/", "/boot", "/boot/efi", "/usr", "/usr/local", "/var", "/home", "/run/live/medium",
                          "/run/live/medium/live", "/cdrom", "/run/initramfs/live", "/lib/live/mount/medium"})
        EXPECT_TRUE(ld::IsSystemMountPoint(p)) << p;
    // Only whole path components count: a card mounted beside them is a card.
    for (const char* p : {"/media/card", "/mnt", "/homework", "/variable", "/run/media/u/EOS_DIGITAL",
                          "/run/live/mediumcard", "/cdromx", "/run/initramfs/lively", "/run/live", "/media/u/CDROM"})
        EXPECT_FALSE(ld::IsSystemMountPoint(p)) << p;
}

TEST(NeverListed, SwapFilesFromProcSwaps)
{
    const std::string text = "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
                             "/dev/sda3                               partition\t8388604\t\t0\t\t-2\n"
                             "/swap\\040file                           file\t\t1048572\t\t0\t\t-3\n"
                             "\n";
    const auto files = ld::ParseSwapFiles(text);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0], "/dev/sda3");
    EXPECT_EQ(files[1], "/swap file");
    // The header alone (no swap) names nothing, nor does an empty file.
    EXPECT_TRUE(ld::ParseSwapFiles("Filename Type Size Used Priority\n").empty());
    EXPECT_TRUE(ld::ParseSwapFiles("").empty());
}

TEST(NeverListed, RaidAndDeviceMapperMembers)
{
    for (const char* n : {"dm-0", "dm-12", "md0", "md127"})
        EXPECT_TRUE(ld::IsStackDevice(n)) << n;
    for (const char* n : {"dm-", "mdx", "mmcblk0p1", "md", "sdb1", "loop3"})
        EXPECT_FALSE(ld::IsStackDevice(n)) << n;

    // A sysfs folder whose holders/ lists a device is part of a stack.
    char tmpl[] = "/tmp/flintor-holdersXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl;
    fs::create_directories(dir / "sdb1" / "holders");
    fs::create_directories(dir / "sdc1" / "holders");
    fs::create_directories(dir / "sdd1");
    std::ofstream(dir / "sdc1" / "holders" / "dm-3") << "";
    EXPECT_FALSE(ld::HasHolders((dir / "sdb1").string()));
    EXPECT_TRUE(ld::HasHolders((dir / "sdc1").string()));
    EXPECT_FALSE(ld::HasHolders((dir / "sdd1").string()));  // no holders/ at all
    fs::remove_all(dir);
}

TEST(NeverListed, SystemDisksOfThisMachineAreNotCandidates)
{
    // Whatever holds / here is never offered, by any backend.
    const auto never = ld::NeverListedDisks(ld::ReadMountInfo());
    struct stat st {};
    ASSERT_EQ(stat("/", &st), 0);
    std::error_code ec;
    const auto real = fs::canonical(
        "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)), ec);
    if (ec)
        GTEST_SKIP() << "the root file system is not on a block device here";
    EXPECT_EQ(never.count(ld::DiskOfBlock(real.filename().string())), 1u);
}

}  // namespace
