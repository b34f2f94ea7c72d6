#include <gtest/gtest.h>

#include "platform/linux/volumes_linux.h"
#include "platform/volumes.h"
#include "support/loopcard.h"

namespace {

struct IncludeLoopScope {
    IncludeLoopScope() { platform::SetIncludeLoop(true); }
    ~IncludeLoopScope() { platform::SetIncludeLoop(false); }
};

TEST(FormatLabel, AcceptsWhatMkfsAccepts)
{
    namespace ld = platform::linux_detail;
    std::string why;
    for (const char* l : {"", "EOS_DIGITAL", "CANON DC", "A-B_C(1)", "12345678901"}) {
        EXPECT_TRUE(ld::ValidFormatLabel("FAT32", l, &why)) << l << ": " << why;
        EXPECT_TRUE(ld::ValidFormatLabel("exFAT", l, &why)) << l << ": " << why;
    }
    EXPECT_TRUE(ld::ValidFormatLabel("exFAT", "Kärtchen", &why)) << why;
    EXPECT_TRUE(ld::ValidFormatLabel("exFAT", "ÄÖÜäöüßéèêë", &why)) << why;  // 11 characters, 22 bytes

    for (const char* l : {"123456789012", "A*B", "A?B", "A/B", "A\\B", "A:B", "A\"B", "A|B", "A<B", "TAB\tX",
                          "NEW\nLINE", "A.B", "A+B", "A=B", "A[B", "Kärtchen"}) {
        why.clear();
        EXPECT_FALSE(ld::ValidFormatLabel("FAT32", l, &why)) << l;
        EXPECT_FALSE(why.empty()) << l;
    }
    for (const char* l : {"123456789012", "ÄÖÜäöüßéèêëx", "A*B", "A:B", "A\x01", "\xff\xfe", "A\xc3"})
        EXPECT_FALSE(ld::ValidFormatLabel("exFAT", l, &why)) << l;
    EXPECT_FALSE(ld::ValidFormatLabel("NTFS", "X", &why));
}

// Formats a mounted card and checks the result with the file system's own checker.
void FormatAndCheck(const std::string& fromFs, const std::string& toFs, const std::string& label)
{
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = fromFs, .label = "OLDCARD"})) << card.error();
    ASSERT_TRUE(card.Mount()) << card.error();
    IncludeLoopScope loops;
    platform::Volume before;
    ASSERT_TRUE(platform::FindVolume(card.name(), &before));
    ASSERT_EQ(before.mountPoint, card.mountPoint());

    std::string err;
    ASSERT_EQ(platform::FormatVolume(card.name(), toFs, label, &err), platform::FormatDone) << err;

    platform::Volume after;
    ASSERT_TRUE(platform::FindVolume(card.name(), &after));
    EXPECT_EQ(after.fsName, toFs);
    EXPECT_EQ(after.label, label);
    EXPECT_EQ(after.mountPoint, "");  // the format unmounted it
    EXPECT_NE(after.identity, before.identity);

    std::string out;
    if (toFs == "exFAT")
        EXPECT_EQ(testsupport::RunCommand({"fsck.exfat", "-n", card.device()}, &out), 0) << out;
    else
        EXPECT_EQ(testsupport::RunCommand({"fsck.fat", "-n", card.device()}, &out), 0) << out;
}

TEST(Format, MountedFatCardToExfat)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    FormatAndCheck("FAT32", "exFAT", "NEWCARD");
}

TEST(Format, MountedExfatCardToFat32)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    FormatAndCheck("exFAT", "FAT32", "EOS_DIGITAL");
}

TEST(Format, RefusesWhatIsNotACard)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "KEEPME"})) << card.error();
    ASSERT_TRUE(card.Mount()) << card.error();
    const auto original = card.ReadImage(0, 4096);
    std::string err;

    platform::SetIncludeLoop(false);
    EXPECT_EQ(platform::FormatVolume(card.name(), "exFAT", "X", &err), platform::FormatNotFormatable);
    EXPECT_FALSE(err.empty());

    IncludeLoopScope loops;
    for (const char* name : {"vda", "sda", "../etc", "", "zram0"})
        EXPECT_EQ(platform::FormatVolume(name, "FAT32", "X", &err), platform::FormatNotFormatable) << name;
    EXPECT_EQ(platform::FormatVolume(card.name(), "NTFS", "X", &err), platform::FormatNotFormatable);
    EXPECT_EQ(platform::FormatVolume(card.name(), "FAT", "X", &err), platform::FormatNotFormatable);
    // A label mkfs would refuse: an error, and the card is left alone (still mounted).
    EXPECT_EQ(platform::FormatVolume(card.name(), "FAT32", "BAD*LABEL", &err), platform::FormatError);
    EXPECT_NE(err.find('*'), std::string::npos) << err;

    platform::Volume v;
    ASSERT_TRUE(platform::FindVolume(card.name(), &v));
    EXPECT_EQ(v.mountPoint, card.mountPoint());
    EXPECT_EQ(card.ReadDevice(0, 4096), original);
}

}  // namespace
