#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "platform/volumes.h"
#include "support/loopcard.h"

namespace {

using testsupport::DirectCards;
using testsupport::IncludeLoopScope;

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
    return v;
}

TEST(RawIo, ReadsTwentyFourSectorsExactly)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL"})) << card.error();
    IncludeLoopScope loops;

    // Guard bytes after the 12288 that must stay as they are.
    std::vector<uint8_t> buf(12288 + 64, 0xA5);
    ASSERT_TRUE(DirectCards().ReadSectors(card.name(), 0, 24, buf.data(), buf.size()).ok());
    const auto image = card.ReadImage(0, 12288);
    ASSERT_EQ(image.size(), 12288u);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), buf.begin()));
    EXPECT_TRUE(std::all_of(buf.begin() + 12288, buf.end(), [](uint8_t b) { return b == 0xA5; }));
    EXPECT_EQ(buf[510], 0x55);
    EXPECT_EQ(buf[511], 0xAA);

    // The buffer must hold count * sectorSize bytes; zero sectors is no transfer.
    EXPECT_FALSE(DirectCards().ReadSectors(card.name(), 0, 24, buf.data(), 12287).ok());
    EXPECT_FALSE(DirectCards().ReadSectors(card.name(), 0, 0, buf.data(), buf.size()).ok());
    EXPECT_FALSE(DirectCards().ReadSectors(card.name(), 0, 1, nullptr, 512).ok());
}

TEST(RawIo, WriteIsReadBackAndReachesTheImage)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    for (const std::string fs : {"exFAT", "FAT32"}) {
        SCOPED_TRACE(fs);
        testsupport::LoopCard card;
        ASSERT_TRUE(card.Create({.fsType = fs, .label = "CARD"})) << card.error();
        // Written while mounted, as the program does it.
        ASSERT_TRUE(card.Mount()) << card.error();
        IncludeLoopScope loops;

        const auto data = Pattern(3 * 512, 0x31);
        ASSERT_TRUE(DirectCards().WriteSectors(card.name(), 40, 3, data.data(), data.size()).ok());
        std::vector<uint8_t> back(3 * 512);
        ASSERT_TRUE(DirectCards().ReadSectors(card.name(), 40, 3, back.data(), back.size()).ok());
        EXPECT_EQ(back, data);
        EXPECT_EQ(card.ReadDevice(40 * 512, data.size()), data);
        // After the fsync the loop device has passed the bytes to the image file.
        EXPECT_EQ(card.ReadImage(40 * 512, data.size()), data);
        // Neighbours untouched.
        EXPECT_EQ(card.ReadDevice(39 * 512, 512), card.ReadImage(39 * 512, 512));

        // Too small a buffer: nothing is written.
        const auto other = Pattern(2 * 512, 0x77);
        EXPECT_FALSE(DirectCards().WriteSectors(card.name(), 40, 2, other.data(), other.size() - 1).ok());
        EXPECT_EQ(card.ReadImage(40 * 512, data.size()), data);
    }
}

TEST(RawIo, ShortTransferAtTheEndFails)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "END", .sizeBytes = 8ull << 20})) << card.error();
    IncludeLoopScope loops;
    const uint64_t sectors = card.volumeSize() / 512;
    std::vector<uint8_t> buf(24 * 512);

    EXPECT_TRUE(DirectCards().ReadSectors(card.name(), sectors - 24, 24, buf.data(), buf.size()).ok());
    EXPECT_FALSE(DirectCards().ReadSectors(card.name(), sectors - 10, 24, buf.data(), buf.size()).ok());
    EXPECT_FALSE(DirectCards().ReadSectors(card.name(), sectors, 1, buf.data(), buf.size()).ok());
    EXPECT_FALSE(DirectCards().ReadSectors(card.name(), UINT64_MAX / 2, 1, buf.data(), buf.size()).ok());

    const auto data = Pattern(24 * 512, 3);
    EXPECT_FALSE(DirectCards().WriteSectors(card.name(), sectors - 10, 24, data.data(), data.size()).ok());
    // A write that fits exactly up to the last sector succeeds.
    EXPECT_TRUE(DirectCards().WriteSectors(card.name(), sectors - 1, 1, data.data(), 512).ok());
    EXPECT_EQ(card.ReadImage((sectors - 1) * 512, 512), std::vector<uint8_t>(data.begin(), data.begin() + 512));
}

TEST(RawIo, OffsetsBeyondFourGiB)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "BIG", .sizeBytes = 5ull << 30})) << card.error();
    IncludeLoopScope loops;
    platform::Volume v;
    ASSERT_TRUE(DirectCards().FindVolume(card.name(), &v));
    EXPECT_EQ(v.sizeBytes, 5ull << 30);

    const uint64_t first = 8388608 + 1000;  // byte offset above 4 GiB
    const auto data = Pattern(4 * 512, 0x5C);
    ASSERT_TRUE(DirectCards().WriteSectors(card.name(), first, 4, data.data(), data.size()).ok());
    EXPECT_EQ(card.ReadImage(first * 512, data.size()), data);
    // The same bytes must not have landed at the offset truncated to 32 bits.
    EXPECT_NE(card.ReadImage((first * 512) & 0xFFFFFFFFull, data.size()), data);
    std::vector<uint8_t> back(data.size());
    ASSERT_TRUE(DirectCards().ReadSectors(card.name(), first, 4, back.data(), back.size()).ok());
    EXPECT_EQ(back, data);
}

TEST(RawIo, PartitionVolumeStartsAtItsOwnSectorZero)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "PART", .sizeBytes = 80ull << 20, .partitioned = true}))
        << card.error();
    IncludeLoopScope loops;
    std::vector<uint8_t> buf(512);
    ASSERT_TRUE(DirectCards().ReadSectors(card.name(), 0, 1, buf.data(), buf.size()).ok());
    EXPECT_EQ(buf, card.ReadImage(0, 512));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()) + 82, 5), "FAT32");
}

TEST(RawIo, RefusesAnythingNotListed)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "SAFE"})) << card.error();
    const auto original = card.ReadImage(0, 512);
    std::vector<uint8_t> buf(512, 0xEE);

    // Switch off: the loop card is not a card.
    platform::SetIncludeLoop(false);
    EXPECT_FALSE(DirectCards().ReadSectors(card.name(), 0, 1, buf.data(), buf.size()).ok());
    EXPECT_FALSE(DirectCards().WriteSectors(card.name(), 0, 1, buf.data(), buf.size()).ok());
    EXPECT_EQ(card.ReadImage(0, 512), original);

    IncludeLoopScope loops;
    for (const char* name : {"sda", "vda", "../etc", "",
                             "/dev/"
                             "loop0",
                             "loop0/../vda", "zram0", "null"}) {
        EXPECT_FALSE(DirectCards().ReadSectors(name, 0, 1, buf.data(), buf.size()).ok()) << name;
        EXPECT_FALSE(DirectCards().WriteSectors(name, 0, 1, buf.data(), buf.size()).ok()) << name;
    }
    EXPECT_FALSE(DirectCards().WriteSectors(card.device(), 0, 1, buf.data(), buf.size()).ok());
    EXPECT_EQ(card.ReadImage(0, 512), original);
}

TEST(RawIo, CardRemovedBetweenCalls)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "GONE"})) << card.error();
    IncludeLoopScope loops;
    std::vector<uint8_t> buf(24 * 512);
    ASSERT_TRUE(DirectCards().ReadSectors(card.name(), 0, 24, buf.data(), buf.size()).ok());
    const std::string name = card.name();
    const auto before = card.ReadImage(0, buf.size());
    ASSERT_TRUE(card.Detach()) << card.error();
    EXPECT_FALSE(DirectCards().WriteSectors(name, 0, 24, buf.data(), buf.size()).ok());
    EXPECT_FALSE(DirectCards().ReadSectors(name, 0, 24, buf.data(), buf.size()).ok());
    EXPECT_EQ(card.ReadImage(0, buf.size()), before);
}

}  // namespace
