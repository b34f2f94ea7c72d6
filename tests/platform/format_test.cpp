#include <gtest/gtest.h>

#include "platform/cardaccess.h"
#include "platform/linux/format_linux.h"
#include "support/loopcard.h"

namespace {

using testsupport::DirectCards;
using testsupport::IncludeLoopScope;

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
    ASSERT_TRUE(DirectCards().FindVolume(card.name(), &before));
    ASSERT_EQ(before.mountPoint, card.mountPoint());

    const platform::FormatOutcome done = DirectCards().Format(card.name(), before.identity, toFs, label);
    ASSERT_EQ(done.code, platform::FormatDone) << done.access.why;
    EXPECT_TRUE(done.access.ok());

    platform::Volume after;
    ASSERT_TRUE(DirectCards().FindVolume(card.name(), &after));
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
    platform::Volume v;
    IncludeLoopScope loops;
    ASSERT_TRUE(DirectCards().FindVolume(card.name(), &v));
    const auto code = [&](const std::string& name, const std::string& identity, const std::string& fs,
                          const std::string& label) { return DirectCards().Format(name, identity, fs, label).code; };

    platform::SetIncludeLoop(false);
    EXPECT_EQ(code(card.name(), v.identity, "exFAT", "X"), platform::FormatNotFormatable);
    platform::SetIncludeLoop(true);
    for (const char* name : {"vda", "sda", "../etc", "", "zram0"})
        EXPECT_EQ(code(name, v.identity, "FAT32", "X"), platform::FormatNotFormatable) << name;
    EXPECT_EQ(code(card.name(), v.identity, "NTFS", "X"), platform::FormatNotFormatable);
    EXPECT_EQ(code(card.name(), v.identity, "FAT", "X"), platform::FormatNotFormatable);
    EXPECT_EQ(code(card.name(), "", "FAT32", "X"), platform::FormatError);  // no identity: no card named
    // A label mkfs would refuse: an error, and the card is left alone (still mounted).
    const platform::FormatOutcome label = DirectCards().Format(card.name(), v.identity, "FAT32", "BAD*LABEL");
    EXPECT_EQ(label.code, platform::FormatError);
    EXPECT_NE(label.access.why.find('*'), std::string::npos) << label.access.why;

    ASSERT_TRUE(DirectCards().FindVolume(card.name(), &v));
    EXPECT_EQ(v.mountPoint, card.mountPoint());
    EXPECT_EQ(card.ReadDevice(0, 4096), original);
}

// The dialog named one card; another was put in behind the same name.
TEST(Format, RefusesACardSwappedInBehindItsName)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    IncludeLoopScope loops;
    testsupport::LoopCard first, second;
    ASSERT_TRUE(first.Create({.fsType = "FAT32", .label = "CHOSEN"})) << first.error();
    platform::Volume chosen;
    ASSERT_TRUE(DirectCards().FindVolume(first.name(), &chosen));
    const std::string loop = first.diskDevice();
    ASSERT_TRUE(first.Detach()) << first.error();
    ASSERT_TRUE(second.Create({.fsType = "FAT32", .label = "OTHER", .loopDevice = loop})) << second.error();
    ASSERT_EQ(second.name(), chosen.name);
    const auto before = second.ReadImage(0, 64 << 10);

    const platform::FormatOutcome outcome = DirectCards().Format(chosen.name, chosen.identity, "exFAT", "NEW");
    EXPECT_EQ(outcome.code, platform::FormatError);
    EXPECT_EQ(outcome.access.error, platform::AccessError::NotFound);
    EXPECT_NE(outcome.access.why.find("no longer the card"), std::string::npos) << outcome.access.why;
    EXPECT_EQ(second.ReadImage(0, 64 << 10), before);
}

}  // namespace
