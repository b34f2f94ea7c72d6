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

// Every refusal leaves the card as it was: still mounted, not a byte changed.
TEST(Format, RefusesWhatIsNotACard)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "KEEPME"})) << card.error();
    ASSERT_TRUE(card.Mount()) << card.error();
    const auto original = card.ReadImage(0, 4096);
    platform::Volume v;
    {
        IncludeLoopScope loops;
        ASSERT_TRUE(DirectCards().FindVolume(card.name(), &v));
    }
    struct Case {
        const char* what;
        bool includeLoop;
        std::string name, identity, fs, label;
        platform::FormatCode code;
        platform::AccessError error;
    };
    const std::vector<Case> cases = {
        {"loop devices not listed", false, card.name(), v.identity, "exFAT", "X", platform::FormatNotFormatable,
         platform::AccessError::NotFound},
        {"a system disk", true, "vda", v.identity, "FAT32", "X", platform::FormatNotFormatable,
         platform::AccessError::NotFound},
        {"a path", true, "../etc", v.identity, "FAT32", "X", platform::FormatNotFormatable,
         platform::AccessError::NotFound},
        {"no name", true, "", v.identity, "FAT32", "X", platform::FormatNotFormatable, platform::AccessError::NotFound},
        {"NTFS", true, card.name(), v.identity, "NTFS", "X", platform::FormatNotFormatable,
         platform::AccessError::Unsupported},
        {"FAT12/16", true, card.name(), v.identity, "FAT", "X", platform::FormatNotFormatable,
         platform::AccessError::Unsupported},
        {"a label mkfs refuses", true, card.name(), v.identity, "FAT32", "BAD*LABEL", platform::FormatError,
         platform::AccessError::Unsupported},
        {"another medium", true, card.name(), v.identity + "x", "FAT32", "X", platform::FormatError,
         platform::AccessError::NotFound},
        {"no identity", true, card.name(), "", "FAT32", "X", platform::FormatError, platform::AccessError::NotFound},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IncludeLoopScope loops(c.includeLoop);
        const platform::FormatOutcome outcome = DirectCards().Format(c.name, c.identity, c.fs, c.label);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.access.error, c.error);
        EXPECT_FALSE(outcome.access.why.empty());
    }
    IncludeLoopScope loops;
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
