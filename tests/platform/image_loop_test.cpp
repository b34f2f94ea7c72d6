// An image file that a loop device serves keeps its boot record out of reach:
// the device has a cache of its own, and a file system mounted from it may
// write its old copy back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/images.h"
#include "platform/linux/sysfs_linux.h"
#include "support/loopcard.h"

namespace {

TEST(ImageServedByLoop, WritesIntoTheFileWaitUntilTheDeviceIsDetached)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "SERVED"})) << card.error();
    ASSERT_TRUE(card.Mount()) << card.error();
    struct stat st {};
    ASSERT_EQ(stat(card.imagePath().c_str(), &st), 0);
    const platform::linux_detail::FileId image{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    // Asked through its node, the device names the file it serves.
    EXPECT_EQ(platform::linux_detail::LoopDevicesServing(image), std::vector<std::string>{card.diskDevice().substr(5)});

    std::string why;
    auto cards = platform::WithImages(nullptr, {{card.imagePath(), 0, card.mountPoint()}}, &why);
    ASSERT_TRUE(cards) << why;
    const auto before = card.ReadImage(0, 512);
    std::vector<uint8_t> sector(before);
    sector[0x47] = 'X';
    for (const platform::AccessResult& refused :
         {cards->CheckWritable("card.img"), cards->WriteSectors("card.img", 0, 1, sector.data(), sector.size())}) {
        EXPECT_EQ(refused.error, platform::AccessError::Unsupported);
        EXPECT_NE(refused.why.find(card.diskDevice()), std::string::npos) << refused.why;
    }
    EXPECT_EQ(card.ReadImage(0, 512), before);

    ASSERT_TRUE(card.Detach()) << card.error();
    EXPECT_TRUE(cards->CheckWritable("card.img").ok());
    ASSERT_TRUE(cards->WriteSectors("card.img", 0, 1, sector.data(), sector.size()).ok());
    EXPECT_EQ(card.ReadImage(0, 512), sector);
}

}  // namespace
