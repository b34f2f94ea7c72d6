// The Save sequence on a loop-device card mounted through fusefat, in this
// process through the direct backend, and removals that meet a mount.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <regex>

#include "cardops/removefiles.h"
#include "cardops/savesequence.h"
#include "core/markerpresets.h"
#include "platform/volumes.h"
#include "support/cardfiles.h"
#include "support/loopcard.h"

namespace fs = std::filesystem;
using testsupport::LoopCard;
using testsupport::WriteWhole;

namespace {

class LoopSave : public ::testing::Test {
protected:
    LoopCard card;
    std::unique_ptr<platform::CardAccess> cards = platform::MakeDirectAccess();

    void SetUp() override
    {
        FLINTOR_REQUIRE_LOOP_AND_FUSE();
        platform::SetIncludeLoop(true);
        ASSERT_TRUE(card.Create({.fsType = "FAT32", .label = "EOS_DIGITAL", .sizeBytes = 40ull << 20})) << card.error();
        ASSERT_TRUE(card.Mount()) << card.error();
    }
    std::string Root() const { return card.mountPoint(); }

    // An install with the Magic Lantern markers, as the command line asks for it.
    cardops::SaveRequest Install(const std::string& archive)
    {
        platform::Volume v;
        EXPECT_TRUE(cards->FindVolume(card.name(), &v));
        cardops::SaveRequest r;
        r.name = card.name();
        r.identity = v.identity;
        r.layoutIndex = core::LayoutFat32;
        EXPECT_TRUE(cards->ReadSectors(card.name(), 0, 24, r.loaded.data(), r.loaded.size()).ok());
        core::MarkerState state = core::LoadMarkers(r.loaded, r.layoutIndex);
        EXPECT_TRUE(core::ApplyMarkers(&state, {.preset = core::Preset::MagicLantern}, nullptr));
        r.edited = core::RegionToWrite(state).VBR;
        r.files = cardops::FileWork::Install;
        r.archive = archive;
        r.workFolder = card.folder() + "/";
        return r;
    }
};

// A name fusefat refuses, and a build larger than the free clusters where
// fusefat tells no free space: found before anything is written. (A build
// that replaces the card's files is installed on fusefat by killpoints_test.)
TEST_F(LoopSave, FusefatInstallsThatCannotWorkChangeNothing)
{
    struct statvfs st {};
    ASSERT_TRUE(statvfs(Root().c_str(), &st) == 0 && st.f_blocks == 0) << "this fusefat tells the space";
    WriteWhole(Root() + "/ML/SETTINGS/MAGIC.CFG", "the user's settings");
    const std::string bad = card.folder() + "/bad.zip", large = card.folder() + "/large.zip";
    ASSERT_TRUE(testsupport::MakeZip(bad, {{"autoexec.bin", "start"},
                                           {"ML/SETTINGS/magic.cfg", "the build's"},
                                           {"ML/bad?name.txt", "fusefat refuses this name"}}));
    ASSERT_EQ(testsupport::RunCommand({"python3", "-c",
                                       "import os, sys, zipfile\n"
                                       "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                       "    z.writestr('autoexec.bin', os.urandom(42 << 20))\n",
                                       large}),
              0);
    const testsupport::Tree before = testsupport::TreeOf(Root());
    const std::vector<uint8_t> region = card.ReadDevice(0, 24 * 512);
    for (const auto& [archive, words] :
         {std::pair{bad, "bad\\?name.txt"}, std::pair{large, "has [0-9]+ MB free; the build needs [0-9]+ MB"}}) {
        const cardops::SaveResult result = cardops::Save(*cards, Install(archive));
        EXPECT_TRUE(result.nothingChanged) << result.error;
        EXPECT_TRUE(std::regex_search(result.error, std::regex(words))) << result.error;
        EXPECT_EQ(testsupport::TreeOf(Root()), before);
        EXPECT_EQ(card.ReadDevice(0, 24 * 512), region);
    }
    ASSERT_TRUE(card.Unmount()) << card.error();
    EXPECT_EQ(testsupport::FsckProblems("FAT32", card.device()), "");
}

TEST(Removal, LeavesFoldersThatAreOtherMounts)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();  // root, for the mounts
    // A folder holding ML, with another file system and a bind mount in it.
    char folder[] = "/tmp/flintor-removal-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string root = folder;
    struct Unmount {
        std::string root;
        ~Unmount()
        {
            umount2((root + "/ML/BOUND").c_str(), MNT_DETACH);
            umount2((root + "/ML/TMPFS").c_str(), MNT_DETACH);
            fs::remove_all(root);
        }
    } cleanup{root};
    WriteWhole(root + "/autoexec.bin", "build");
    WriteWhole(root + "/ML/modules/a.mo", "module");
    WriteWhole(root + "/elsewhere/keep.txt", "bound");
    fs::create_directories(root + "/ML/TMPFS");
    fs::create_directories(root + "/ML/BOUND");
    ASSERT_EQ(mount("none", (root + "/ML/TMPFS").c_str(), "tmpfs", 0, "size=1m"), 0);
    WriteWhole(root + "/ML/TMPFS/other.txt", "another file system");
    ASSERT_EQ(mount((root + "/elsewhere").c_str(), (root + "/ML/BOUND").c_str(), nullptr, MS_BIND, nullptr), 0);
    std::vector<std::string> left;
    EXPECT_FALSE(cardops::RemoveNamed(root, cardops::PlanRemoval(root), &left));
    EXPECT_EQ(left, std::vector<std::string>{"ML"});
    EXPECT_EQ(testsupport::TreeOf(root), (testsupport::Tree{{"ML", "<folder>"},
                                                            {"ML/BOUND", "<folder>"},
                                                            {"ML/BOUND/keep.txt", "bound"},
                                                            {"ML/TMPFS", "<folder>"},
                                                            {"ML/TMPFS/other.txt", "another file system"},
                                                            {"elsewhere", "<folder>"},
                                                            {"elsewhere/keep.txt", "bound"}}));
}

}  // namespace
