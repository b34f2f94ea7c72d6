// The mount table: its lines, and which mount of a card is the card's root.
#include <gtest/gtest.h>
#include <sys/sysmacros.h>

#include "platform/linux/mountinfo_linux.h"

namespace {

namespace ld = platform::linux_detail;

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
        "36 35 98:0 /DC\\040IM /mnt/my\\040card rw,noatime master:1 shared:7 - fuseblk /dev/loop3 rw,user_id=0", &e));
    EXPECT_EQ(e.major, 98u);
    EXPECT_EQ(e.minor, 0u);
    EXPECT_EQ(e.root, "/DC IM");
    EXPECT_EQ(e.mountPoint, "/mnt/my card");
    EXPECT_EQ(e.fsType, "fuseblk");
    EXPECT_EQ(e.source, "/dev/loop3");

    ASSERT_TRUE(ld::ParseMountInfoLine("26 1 254:0 / / rw,relatime - ext4 /dev/vda rw", &e));
    EXPECT_EQ(e.major, 254u);
    EXPECT_EQ(e.root, "/");
    EXPECT_EQ(e.mountPoint, "/");

    EXPECT_FALSE(ld::ParseMountInfoLine("", &e));
    EXPECT_FALSE(ld::ParseMountInfoLine("26 1 254:0 / / rw,relatime ext4 /dev/vda rw", &e));  // no separator
    EXPECT_FALSE(ld::ParseMountInfoLine("26 1 x:0 / / rw - ext4 /dev/vda rw", &e));
}

// A bind mount of a folder on the card shows that folder, not the card: only
// a mount of the file system's own root is where the card's files are.
TEST(MountInfo, CardRootIsAMountOfTheFileSystemsOwnRoot)
{
    const auto mounts = ld::ParseMountInfo("40 26 7:3 /DCIM /mnt/pictures rw - vfat /dev/loop3 rw\n"
                                           "41 26 7:3 / /media/u/CARD rw - vfat /dev/loop3 rw\n"
                                           "42 26 7:3 / /mnt/again rw - vfat /dev/loop3 rw\n"
                                           "not a mount line\n"
                                           "50 26 7:4 /ML /mnt/ml-only rw - fuseblk /dev/loop4 rw\n"
                                           "51 26 7:5 / /media/u/FUSE rw - fuseblk /dev/loop5 rw\n");
    ASSERT_EQ(mounts.size(), 5u);
    const struct {
        unsigned minor;
        std::vector<std::string> preferred;
        std::string root;  // "": none, the card counts as not mounted
    } cases[] = {{3, {}, "/media/u/CARD"},
                 {3, {"/mnt/again"}, "/mnt/again"},
                 {3, {"/mnt/pictures"}, "/media/u/CARD"},  // listed by a service, still only a folder
                 {4, {"/mnt/ml-only"}, ""},
                 {5, {}, "/media/u/FUSE"}};
    for (const auto& c : cases) {
        const auto root = ld::CardRootMount(ld::MountsOfDevice(mounts, makedev(7, c.minor)), c.preferred);
        EXPECT_EQ(root ? root->mountPoint : std::string(), c.root) << "7:" << c.minor;
    }
    EXPECT_TRUE(ld::IsUserSpaceMount(mounts[4]));
    EXPECT_FALSE(ld::IsUserSpaceMount(mounts[1]));
}

}  // namespace
