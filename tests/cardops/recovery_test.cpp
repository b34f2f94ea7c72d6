// The journal of a Save, and what the recovery of a Save that was cut short
// must not do, on a card held in memory (the phases themselves are stopped
// for real in killpoints_test.cpp).
#include <gtest/gtest.h>

#include "cardops/buildfiles.h"
#include "cardops/journal.h"
#include "cardops/recovery.h"
#include "cardops/removefiles.h"
#include "support/savefixture.h"
#include "zip/zipread.h"

namespace fs = std::filesystem;
using cardops::Journal;
using cardops::Operation;
using cardops::Phase;
using testsupport::WriteWhole;

namespace {

class RecoveryTest : public testsupport::SaveFixture {
protected:
    testsupport::FakeCards cards;
    cardops::SaveRequest request;
    cardops::InstallPlan plan;
    Journal journal;

    void SetUp() override
    {
        SaveFixture::SetUp();
        MakeCard(cards, "exFAT");
        WriteWhole(Card() + "/ML/SETTINGS/MAGIC.CFG", "the user's settings");
        WriteWhole(Card() + "/DCIM/IMG_0001.JPG", "a photo");
    }

    // A journal as the Save writes it before the first change of the card.
    void Begin(Operation operation, Phase phase)
    {
        journal.identity = cards.volume.identity;
        journal.operation = operation;
        journal.phase = phase;
        journal.token = plan.token.empty() ? "000" : plan.token;
        journal.layoutIndex = request.layoutIndex;
        std::copy(cards.image.begin(), cards.image.begin() + 24 * 512, journal.before.begin());
        journal.after = cardops::WriteTarget(journal.before, request.loaded, request.edited, request.layoutIndex);
        journal.madeFolders = plan.madeFolders;
        journal.files = plan.JournalFiles();
        std::string why;
        ASSERT_TRUE(cardops::WriteJournal(cardops::JournalPath(Work(), journal.identity), journal, &why)) << why;
    }

    // An install stopped while unpacking.
    void StopInstall()
    {
        request = InstallRequest(cards, {{"autoexec.bin", "start"}, {"ML/SETTINGS/magic.cfg", "new"}});
        TZipRead zip(request.archive);
        std::string why;
        ASSERT_TRUE(cardops::PlanInstall(zip, Card(), false, &plan, &why)) << why;
        Begin(Operation::Install, Phase::Unpack);
        ASSERT_TRUE(cardops::UnpackFiles(zip, Card(), plan, {}, &why)) << why;
    }
    cardops::RecoveryReport Recover() { return cardops::Recover(cards, Work(), cards.volume.name); }
};

TEST_F(RecoveryTest, CopyOfTheCardWithoutTheInstallsFilesIsLeftAlone)
{
    // A dd copy in the same reader has the same identity. It holds a complete
    // build of its own and none of the stopped install's temporary files.
    StopInstall();
    fs::remove_all(Card());
    WriteWhole(Card() + "/autoexec.bin", "the copy's build");
    WriteWhole(Card() + "/ML/modules/a.mo", "the copy's module");
    WriteWhole(Card() + "/ML/SETTINGS/MAGIC.CFG", "the copy's settings");
    const testsupport::Tree copy = testsupport::TreeOf(Card());

    for (Phase phase : {Phase::Unpack, Phase::Commit, Phase::Cleanup}) {
        journal.phase = phase;
        ASSERT_TRUE(cardops::WriteJournal(cardops::JournalPath(Work(), journal.identity), journal, nullptr));
        // A Save of the markers alone on the copy meets the journal first.
        cardops::SaveRequest set = Request(cards, true);
        const std::vector<uint8_t> region = Region(cards);
        const cardops::SaveResult result = cardops::Save(cards, set);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(testsupport::TreeOf(Card()), copy) << "files of the copy were touched";
        EXPECT_EQ(Region(cards), region);
        // Only a commit can tell the card is not the one it was writing; its
        // journal stays for the card that is.
        EXPECT_EQ(JournalLeft(), phase == Phase::Commit) << result.error;
    }
}

TEST_F(RecoveryTest, RemovalIsNotFinishedWhileTheBootRecordStartsTheBuild)
{
    WriteWhole(Card() + "/autoexec.bin", "build");
    WriteWhole(Card() + "/ML/modules/a.mo", "module");
    request = Request(cards, true);
    cards.image.assign(request.edited.begin(), request.edited.begin() + 24 * 512);
    cards.image.resize(64 * 512);
    request = Request(cards);
    request.edited = cardops::ClearMagicLanternStart(request.loaded, request.layoutIndex, nullptr);
    const testsupport::Tree before = testsupport::TreeOf(Card());
    // Stopped while deleting files, and the boot record is (again) one that
    // starts the build: no file goes. (Stopped for real, the removal is
    // finished in killpoints_test.cpp.)
    Begin(Operation::Remove, Phase::Files);
    journal.removals = cardops::PlanRemoval(Card());
    ASSERT_TRUE(cardops::WriteJournal(cardops::JournalPath(Work(), journal.identity), journal, nullptr));
    const cardops::RecoveryReport report = Recover();
    EXPECT_FALSE(report.settled);
    EXPECT_EQ(testsupport::TreeOf(Card()), before) << report.message;
    EXPECT_TRUE(JournalLeft());
}

TEST(Journal, NamesBelowTheRootAreKeptAndOthersRefused)
{
    const std::vector<std::pair<std::string, bool>> names = {
        {"a..b.txt", true}, {"ML/..hidden", true}, {"with space/x y.txt", true},
        {"100%.txt", true}, {"..", false},         {".", false},
        {"ML/../x", false}, {"ML/./x", false},     {"/etc/passwd", false},
        {"", false},        {"ML//x", false},      {"ML/", false}};
    for (const auto& [name, safe] : names)
        EXPECT_EQ(cardops::SafeRelativePath(name), safe) << name;

    Journal j;
    j.identity = "7:3:1048576:ABCD 1234";
    j.operation = Operation::Install;
    j.phase = Phase::Commit;
    j.token = "A0F";
    j.after[24 * 512 - 1] = 0x55;
    j.madeFolders = {"ML/with space"};
    j.files = {{"a..b.txt", "~A0F0000.TMP", "~A0F0000.OLD", 12, 0xDEADBEEF},
               {"ML/with space/100%.txt", "~A0F0001.TMP", "", 0, 0}};
    Journal back;
    std::string why;
    ASSERT_TRUE(cardops::DecodeJournal(cardops::EncodeJournal(j), &back, &why)) << why;
    EXPECT_EQ(cardops::EncodeJournal(back), cardops::EncodeJournal(j));
    EXPECT_EQ(back.files.at(0).path + "|" + back.files.at(1).path, "a..b.txt|ML/with space/100%.txt");

    // Cut short, or a temporary name without the journal's token: not a journal.
    EXPECT_FALSE(cardops::DecodeJournal(cardops::EncodeJournal(j).substr(0, 5000), &back, &why));
    j.files[1].temp = "MAGIC.CFG";
    EXPECT_FALSE(cardops::DecodeJournal(cardops::EncodeJournal(j), &back, &why));
}

}  // namespace
