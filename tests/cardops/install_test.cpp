// Installing a build as one transaction on a card held in memory: the plan,
// and a failed install leaving every file of the card as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <regex>

#include "cardops/buildfiles.h"
#include "core/fileutil.h"
#include "support/savefixture.h"
#include "zip/zipread.h"

namespace fs = std::filesystem;
using testsupport::FakeCards;
using testsupport::WriteWhole;

namespace {

class InstallTest : public testsupport::SaveFixture {
protected:
    // The user's own files, some named like the build's in another letter case.
    void UserFiles()
    {
        WriteWhole(Card() + "/ML/SETTINGS/MAGIC.CFG", "the user's settings");
        WriteWhole(Card() + "/ML/modules/BIG.MO", std::string(3000, 'o'));
        WriteWhole(Card() + "/DCIM/100CANON/IMG_0001.JPG", "a photo");
    }
    std::vector<std::pair<std::string, std::string>> Build() const
    {
        return {{"autoexec.bin", std::string(5000, 'A')},
                {"ML/SETTINGS/magic.cfg", "the build's settings"},
                {"ML/modules/big.mo", std::string(9000, 'n')},
                {"ML/cropmks/", ""},
                {"ML/doc/readme.txt", "read me"}};
    }
};

TEST_F(InstallTest, PlanKeepsTheCardsSpellingAndUsesShortTokenNamesBesideEachFile)
{
    UserFiles();
    const std::string path = (dir / "plan.zip").string();
    ASSERT_TRUE(testsupport::MakeZip(path, Build()));
    TZipRead zip(path);
    cardops::InstallPlan plan;
    ASSERT_TRUE(cardops::PlanInstall(zip, Card(), false, &plan, nullptr));
    EXPECT_EQ(plan.madeFolders, (std::vector<std::string>{"ML/cropmks", "ML/doc"}));
    std::string names;  // each file: final path, temporary and aside names ("~" token index)
    for (const cardops::PlannedFile& f : plan.files)
        names += f.path + " " + f.temp + " " + f.aside + "; ";
    EXPECT_EQ(std::regex_replace(names, std::regex("~" + plan.token + "[0-9A-F]{4}\\."), "~."),
              "autoexec.bin ~.TMP ; ML/SETTINGS/MAGIC.CFG ~.TMP ~.OLD; ML/modules/BIG.MO ~.TMP ~.OLD; "
              "ML/doc/readme.txt ~.TMP ; ");
}

TEST_F(InstallTest, FailedInstallLeavesEveryFileOfTheCardAsItWas)
{
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> extra;  // entries added to the build
        std::function<void()> prepare;                           // on the card, before the Save
        const char* words;
        std::string appears = "";  // a file someone writes while the build unpacks
    };
    const std::vector<Case> cases = {
        {"a folder where a file goes",
         {{"ML/data/blocked", "file"}},
         [&] { fs::create_directories(Card() + "/ML/data/blocked"); },
         "in the way"},
        {"a file where a folder goes",
         {{"ML/scripts/a.lua", "x"}},
         [&] { WriteWhole(Card() + "/ML/scripts", "x"); },
         "in the way"},
        {"a name FAT does not allow", {{"ML/what?.txt", "x"}}, [] {}, "cannot store"},
        {"a name longer than FAT allows", {{"ML/" + std::string(300, 'n') + ".txt", "x"}}, [] {}, "longer"},
        {"a write that fails half-way (file size limit)",
         {{"ML/huge.bin", std::string(200000, 'h')}},
         [] {
             signal(SIGXFSZ, SIG_IGN);
             const rlimit small{96 * 1024, RLIM_INFINITY};
             setrlimit(RLIMIT_FSIZE, &small);
         },
         "cannot write"},
        {"a file written where a new one goes meanwhile", {}, [] {}, "in place", "ML/doc/readme.txt"},
    };
    for (const Case& c : cases) {
        fs::remove_all(Card());
        fs::remove_all(dir / "work");
        UserFiles();
        FakeCards cards;
        MakeCard(cards, "FAT32");
        std::vector<std::pair<std::string, std::string>> entries = Build();
        entries.insert(entries.end(), c.extra.begin(), c.extra.end());
        const cardops::SaveRequest r = InstallRequest(cards, entries);
        c.prepare();
        testsupport::Tree before = testsupport::TreeOf(Card());
        const std::vector<uint8_t> region = Region(cards);
        cardops::SaveHooks hooks;
        hooks.progress = [&](int percent, const std::string&) {
            if (percent == 100 && !c.appears.empty() && !fs::exists(Card() + "/" + c.appears))
                WriteWhole(Card() + "/" + c.appears, "someone else's");
        };
        if (!c.appears.empty())
            before.insert({{fs::path(c.appears).parent_path().string(), "<folder>"}, {c.appears, "someone else's"}});
        const cardops::SaveResult result = cardops::Save(cards, r, hooks);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &unlimited);
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_FALSE(result.installed) << c.what;
        EXPECT_NE(result.error.find(c.words), std::string::npos) << c.what << ": " << result.error;
        EXPECT_EQ(testsupport::TreeOf(Card()), before) << c.what;
        EXPECT_EQ(Region(cards), region) << c.what << ": markers written after a failed install";
        EXPECT_FALSE(JournalLeft()) << c.what;
    }
}

}  // namespace

// What a Save lands on the card: the entries whole with the archive's dates,
// empty files and folders, "*.fir" left out of a development build (the
// name's letter case counting), and progress from the first entry to 100.
TEST_F(InstallTest, UnpacksWholeWithDatesAndLeavesFirmwareOutOfDevelopmentBuilds)
{
    for (const bool development : {true, false}) {
        fs::remove_all(Card());
        fs::remove_all(dir / "work");
        fs::create_directories(Card());
        FakeCards cards;
        MakeCard(cards, "FAT32");
        cardops::SaveRequest r = InstallRequest(cards, {{"autoexec.bin", "12345678Magic Lantern"},
                                                        {"ML/sub/deep/x.bin", std::string(5000, 'x')},
                                                        {"lone/", ""},
                                                        {"5D3-123.fir", "fw"},
                                                        {"UPPER.FIR", "fw"},
                                                        {"empty.txt", ""}});
        r.skipFirmware = development;
        std::vector<int> seen;
        cardops::SaveHooks hooks;
        hooks.progress = [&](int percent, const std::string&) {
            if (seen.empty() || seen.back() != percent)
                seen.push_back(percent);
        };
        const cardops::SaveResult result = cardops::Save(cards, r, hooks);
        ASSERT_TRUE(result.ok && result.installed) << result.error;
        EXPECT_EQ(testsupport::ReadWhole(Card() + "/ML/sub/deep/x.bin"), std::string(5000, 'x'));
        EXPECT_TRUE(fs::is_directory(Card() + "/lone") && fs::is_empty(Card() + "/lone"));
        EXPECT_EQ(fs::file_size(Card() + "/empty.txt"), 0u);
        EXPECT_EQ(fs::exists(Card() + "/5D3-123.fir"), !development);
        EXPECT_TRUE(fs::exists(Card() + "/UPPER.FIR"));
        EXPECT_EQ(core::FileDateText(Card() + "/ML/sub/deep/x.bin"), "1980.01.01");
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.front(), 0);
        EXPECT_EQ(seen.back(), 100);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    }
}
