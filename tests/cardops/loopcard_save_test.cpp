// The Save sequence on real loop-device cards mounted through FUSE (fusefat,
// exfat-fuse), in this process through the direct backend: installs that
// fail or replace files, the FAT32 backup boot sector, the mount after Save,
// free space where the driver tells none, and removals that meet a mount.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <regex>

#include "cardops/freespace.h"
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
    std::unique_ptr<platform::CardAccess> cards;

    void SetUp() override
    {
        FLINTOR_REQUIRE_LOOP_AND_FUSE();
        platform::SetIncludeLoop(true);
        cards = platform::MakeDirectAccess();
    }

    void NewCard(const std::string& fsType, const std::string& label = "EOS_DIGITAL")
    {
        ASSERT_TRUE(card.Create({.fsType = fsType, .label = label, .sizeBytes = 40ull << 20})) << card.error();
        ASSERT_TRUE(card.Mount()) << card.error();
    }
    std::string Work() const { return card.folder() + "/work/"; }
    std::string Root() const { return card.mountPoint(); }

    // A request with the markers a preset gives, as the command line makes it.
    cardops::SaveRequest Request(core::Preset preset)
    {
        platform::Volume v;
        EXPECT_TRUE(cards->FindVolume(card.name(), &v));
        cardops::SaveRequest r;
        r.name = card.name();
        r.identity = v.identity;
        r.workFolder = Work();
        fs::create_directories(Work());
        EXPECT_TRUE(cards->ReadSectors(card.name(), 0, 24, r.loaded.data(), r.loaded.size()).ok());
        r.layoutIndex = core::SelectLayout(v.fsName).index;
        core::MarkerState state = core::LoadMarkers(r.loaded, r.layoutIndex);
        core::MarkerRequest wanted;
        wanted.preset = preset;
        std::string why;
        EXPECT_TRUE(core::ApplyMarkers(&state, wanted, &why)) << why;
        r.edited = core::ForSave(state).VBR;
        return r;
    }
    cardops::SaveRequest Install(const std::string& archive)
    {
        cardops::SaveRequest r = Request(core::Preset::MagicLantern);
        r.files = cardops::FileWork::Install;
        r.archive = archive;
        return r;
    }
};

TEST_F(LoopSave, FusefatInstallThatFailsKeepsTheCardsFilesAndOneThatWorksReplacesThem)
{
    NewCard("FAT32");
    WriteWhole(Root() + "/ML/SETTINGS/MAGIC.CFG", "the user's settings");
    WriteWhole(Root() + "/ML/MODULES/BIG.MO", std::string(1000, 'o'));
    std::vector<std::pair<std::string, std::string>> build = {{"autoexec.bin", std::string(30000, 'A')},
                                                              {"ML/SETTINGS/magic.cfg", "the build's settings"},
                                                              {"ML/MODULES/big.mo", std::string(100000, 'n')}};
    const std::string good = card.folder() + "/good.zip", bad = card.folder() + "/bad.zip";
    ASSERT_TRUE(testsupport::MakeZip(good, build));
    build.push_back({"ML/bad?name.txt", "fusefat refuses this name"});
    ASSERT_TRUE(testsupport::MakeZip(bad, build));

    const testsupport::Tree before = testsupport::TreeOf(Root());
    const std::vector<uint8_t> region = card.ReadDevice(0, 24 * 512);
    cardops::SaveResult result = cardops::Save(*cards, Install(bad));
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.nothingChanged) << "a name the card cannot take is found before anything is written";
    EXPECT_NE(result.error.find("bad?name.txt"), std::string::npos) << result.error;
    EXPECT_EQ(testsupport::TreeOf(Root()), before);
    EXPECT_EQ(card.ReadDevice(0, 24 * 512), region);

    // A bigger file replaces one the card holds (fusefat cannot grow a file
    // it truncated; the new one is written beside it and renamed).
    result = cardops::Save(*cards, Install(good));
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_TRUE(card.Mount()) << card.error();
    const testsupport::Tree after = testsupport::TreeOf(Root());
    EXPECT_EQ(after.at("ML/MODULES/BIG.MO"), std::string(100000, 'n'));
    EXPECT_EQ(after.at("ML/SETTINGS/MAGIC.CFG"), "the build's settings");
    EXPECT_EQ(after.size(), before.size() + 1) << "autoexec.bin and nothing else is new";
    ASSERT_TRUE(card.Unmount()) << card.error();
    EXPECT_EQ(testsupport::FsckProblems("FAT32", card.device()), "");
}

TEST_F(LoopSave, Fat32SaveLeavesFsckCleanAndTheFuseCardMountedAgain)
{
    NewCard("FAT32");
    WriteWhole(Root() + "/DCIM/IMG_0001.JPG", "a photo");
    const cardops::SaveResult result = cardops::Save(*cards, Request(core::Preset::Chdk));
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.unmounted);
    EXPECT_TRUE(result.remounted);
    platform::Volume v;
    ASSERT_TRUE(cards->FindVolume(card.name(), &v));
    EXPECT_EQ(v.mountPoint, Root()) << "the card is not mounted where it was";
    EXPECT_EQ(testsupport::ReadWhole(Root() + "/DCIM/IMG_0001.JPG"), "a photo");
    ASSERT_TRUE(card.Unmount()) << card.error();
    std::string out;
    EXPECT_EQ(testsupport::RunCommand({"fsck.fat", "-n", card.device()}, &out), 0) << out;
    const std::vector<uint8_t> sectors = card.ReadDevice(0, 7 * 512);
    EXPECT_TRUE(std::equal(sectors.begin(), sectors.begin() + 512, sectors.begin() + 6 * 512));
}

TEST_F(LoopSave, BuildLargerThanTheFreeClustersIsRefusedWhereTheDriverTellsNoSpace)
{
    NewCard("FAT32");
    struct statvfs st {};
    ASSERT_EQ(statvfs(Root().c_str(), &st), 0);
    ASSERT_EQ(st.f_blocks, 0u) << "this fusefat tells the space; the count from the FAT is not needed";
    const std::string archive = card.folder() + "/large.zip";
    ASSERT_EQ(testsupport::RunCommand({"python3", "-c",
                                       "import os, sys, zipfile\n"
                                       "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                                       "z.writestr('autoexec.bin', os.urandom(42 << 20))\n"
                                       "z.close()\n",
                                       archive}),
              0);
    const std::vector<uint8_t> region = card.ReadDevice(0, 24 * 512);
    const testsupport::Tree before = testsupport::TreeOf(Root());
    const cardops::SaveResult result = cardops::Save(*cards, Install(archive));
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.nothingChanged);
    EXPECT_TRUE(std::regex_search(result.error, std::regex("has [0-9]+ MB free; the build needs [0-9]+ MB")))
        << result.error;
    EXPECT_EQ(testsupport::TreeOf(Root()), before);
    EXPECT_EQ(card.ReadDevice(0, 24 * 512), region);
}

TEST_F(LoopSave, ExFatFreeClustersAfterWritingThroughFuseMatchDumpExfat)
{
    NewCard("exFAT");
    for (int i = 0; i < 6; ++i)
        WriteWhole(Root() + "/DCIM/IMG_000" + std::to_string(i) + ".JPG", std::string(100000 + i * 7000, 'p'));
    ASSERT_TRUE(card.Unmount()) << card.error();
    std::string report;
    ASSERT_EQ(testsupport::RunCommand({"dump.exfat", card.device()}, &report), 0) << report;
    std::smatch free;
    ASSERT_TRUE(std::regex_search(report, free, std::regex(R"(Free Clusters:\s+(\d+))"))) << report;
    cardops::FreeClusters counted;
    std::string why;
    const cardops::SectorReader read = [&](uint64_t first, uint32_t count, uint8_t* buffer) {
        const std::vector<uint8_t> bytes = card.ReadDevice(first * 512, count * 512u);
        std::copy(bytes.begin(), bytes.end(), buffer);
        return bytes.size() == count * 512u;
    };
    ASSERT_TRUE(cardops::CountFreeClusters(read, &counted, &why)) << why;
    EXPECT_EQ(counted.freeClusters, std::stoull(free[1]));
    EXPECT_LT(counted.freeClusters + 6 * 100000 / counted.clusterBytes, counted.totalClusters);
}

TEST_F(LoopSave, RemovalLeavesFoldersThatAreOtherMounts)
{
    // Not a card: a folder holding ML, with another file system and a bind
    // mount inside it.
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
    const bool all = cardops::RemoveNamed(root, cardops::PlanRemoval(root), &left);
    const testsupport::Tree after = testsupport::TreeOf(root);
    EXPECT_FALSE(all);
    EXPECT_EQ(left, std::vector<std::string>{"ML"});
    EXPECT_EQ(after, (testsupport::Tree{{"ML", "<folder>"},
                                        {"ML/BOUND", "<folder>"},
                                        {"ML/BOUND/keep.txt", "bound"},
                                        {"ML/TMPFS", "<folder>"},
                                        {"ML/TMPFS/other.txt", "another file system"},
                                        {"elsewhere", "<folder>"},
                                        {"elsewhere/keep.txt", "bound"}}));
}

}  // namespace
