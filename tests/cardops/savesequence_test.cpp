// The Save sequence against a card held in memory: what is checked before
// anything changes, what is written and in which order, and what is left when
// something fails half-way.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "cardops/savesequence.h"
#include "core/bootrecord.h"
#include "tests/support/fakecards.h"

namespace fs = std::filesystem;
using cardops::FileWork;
using testsupport::FakeCards;

namespace {

std::string Shell(const std::string& command)
{
    std::string out;
    if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        if (pclose(p) != 0)
            out = "FAILED: " + out;
    }
    return out;
}

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SaveTest : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/flintor-save-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        fs::create_directories(dir / "work");
        fs::create_directories(dir / "card");
    }
    void TearDown() override { fs::remove_all(dir); }

    // A card whose boot region comes from the real mkfs of its file system.
    void MakeCard(FakeCards& cards, const std::string& fsName)
    {
        const std::string image = (dir / "image").string();
        std::string mkfs;
        if (fsName == "exFAT")
            mkfs = "truncate -s 64M " + image + " && mkfs.exfat -L EOS_DIGITAL " + image;
        else if (fsName == "FAT32")
            mkfs = "truncate -s 64M " + image + " && mkfs.fat -F 32 -n EOS_DIGITAL " + image;
        else
            mkfs = "truncate -s 16M " + image + " && mkfs.fat -F 16 -n EOS_DIGITAL " + image;
        const std::string out = Shell(mkfs);
        ASSERT_EQ(out.rfind("FAILED", 0), std::string::npos) << out;
        std::vector<uint8_t> all = ReadAll(image);
        cards.image.assign(all.begin(), all.begin() + 64 * 512);
        cards.volume.name = "sdz1";
        cards.volume.device = "/dev/sdz1";
        cards.volume.fsName = fsName;
        cards.volume.label = "EOS_DIGITAL";
        cards.volume.sizeBytes = all.size();
        cards.volume.sectorSize = 512;
        cards.volume.identity = "8:1:" + fsName;
        cards.mountRoot = (dir / "card").string();
    }

    cardops::SaveRequest Request(const FakeCards& cards, int layout)
    {
        cardops::SaveRequest r;
        r.name = cards.volume.name;
        r.identity = cards.volume.identity;
        r.layoutIndex = layout;
        std::copy(cards.image.begin(), cards.image.begin() + 24 * 512, r.loaded.begin());
        r.edited = r.loaded;
        r.workFolder = (dir / "work").string() + "/";
        return r;
    }

    // The Magic Lantern markers at the layout's places.
    static void SetMlMarkers(cardops::SaveRequest& r, int layout)
    {
        core::BootRecord b;
        b.VBR = r.edited;
        const core::Layout places = core::SelectLayout(layout == core::LayoutExFat   ? "exFAT"
                                                       : layout == core::LayoutFat32 ? "FAT32"
                                                                                     : "FAT");
        b.SetVBRString("EOS_DEVELOP", places.labelPos, core::kLabelWidth);
        b.SetVBRString("BOOTDISK", places.bootPos, core::kBootWidth);
        r.edited = b.VBR;
    }

    std::string MakeZip(const std::string& name, const std::string& pythonEntries)
    {
        const std::string path = (dir / name).string();
        const std::string out = Shell("python3 -c \"import zipfile; z = zipfile.ZipFile('" + path +
                                      "', 'w', zipfile.ZIP_DEFLATED); " + pythonEntries + "; z.close()\"");
        EXPECT_EQ(out.rfind("FAILED", 0), std::string::npos) << out;
        return path;
    }

    size_t Backups() const
    {
        size_t n = 0;
        std::error_code ec;
        for (fs::directory_iterator it(dir / "work" / "backups", ec), end; !ec && it != end; it.increment(ec))
            n += it->path().extension() == ".bin";
        return n;
    }
};

TEST_F(SaveTest, ChecksRefuseBeforeAnythingIsTouched)
{
    FakeCards cards;
    MakeCard(cards, "FAT32");
    const std::vector<uint8_t> before = cards.image;
    const std::string good = MakeZip("good.zip", "z.writestr('autoexec.bin', b'x' * 1000)");
    const std::string noStart = MakeZip("nostart.zip", "z.writestr('ML/readme.txt', b'hello')");

    struct Case {
        const char* what;
        std::function<void(FakeCards&, cardops::SaveRequest&)> fault;
        const char* words;
    };
    const std::vector<Case> cases = {
        {"another medium under the same name",
         [](FakeCards& c, cardops::SaveRequest&) { c.volume.identity = "8:1:other"; }, "not the card"},
        {"card gone", [](FakeCards& c, cardops::SaveRequest&) { c.present = false; }, "not there any more"},
        {"write-protected", [](FakeCards& c, cardops::SaveRequest&) { c.volume.readOnly = true; }, "write-protected"},
        {"no permission", [](FakeCards& c, cardops::SaveRequest&) { c.writable = false; }, "not allowed"},
        {"files unreachable",
         [](FakeCards& c, cardops::SaveRequest& r) {
             c.canMount = false;
             r.files = FileWork::Install;
         },
         "The card is not mounted"},
        {"archive without start file",
         [&](FakeCards&, cardops::SaveRequest& r) {
             r.files = FileWork::Install;
             r.archive = noStart;
         },
         "autoexec.bin"},
        {"archive missing",
         [&](FakeCards&, cardops::SaveRequest& r) {
             r.files = FileWork::Install;
             r.archive = (dir / "absent.zip").string();
         },
         "absent.zip"},
    };
    for (const Case& c : cases) {
        FakeCards probe = cards;
        cardops::SaveRequest r = Request(probe, core::LayoutFat32);
        SetMlMarkers(r, core::LayoutFat32);
        r.archive = good;
        c.fault(probe, r);
        const cardops::SaveResult result = cardops::Save(probe, r);
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_TRUE(result.nothingChanged) << c.what;
        EXPECT_NE(result.error.find(c.words), std::string::npos) << c.what << ": " << result.error;
        EXPECT_NE(result.error.find("sdz1"), std::string::npos) << c.what << ": the message names the card";
        EXPECT_EQ(probe.image, before) << c.what;
        EXPECT_EQ(probe.CallIndex("write"), -1) << c.what;
        EXPECT_TRUE(fs::is_empty(dir / "card")) << c.what;
        EXPECT_EQ(Backups(), 0u) << c.what;
    }
}

TEST_F(SaveTest, ExFatWriteKeepsDriverStateSealsAndWritesBackupRegionFirst)
{
    FakeCards cards;
    MakeCard(cards, "exFAT");
    cardops::SaveRequest r = Request(cards, core::LayoutExFat);
    SetMlMarkers(r, core::LayoutExFat);
    // Between load and save a driver marks the volume dirty and updates its
    // use percentage in both regions.
    for (size_t base : {size_t{0}, size_t{12 * 512}}) {
        cards.image[base + 106] = 0x02;
        cards.image[base + 112] = 37;
    }
    const cardops::SaveResult result = cardops::Save(cards, r);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(result.backupPath.empty());

    core::BootRecord written;
    std::copy(cards.image.begin(), cards.image.begin() + 24 * 512, written.VBR.begin());
    EXPECT_EQ(written.GetVBRString(0x82, 11), "EOS_DEVELOP");
    EXPECT_EQ(written.GetVBRString(0x7A, 8), "BOOTDISK");
    EXPECT_EQ(written.VBR[106], 0x02) << "the driver's flags were overwritten by the stale copy";
    EXPECT_EQ(written.VBR[112], 37);
    // Both regions carry their own valid checksum and agree.
    core::BootRecord sealed = written;
    sealed.SealExFatBootRegion();
    EXPECT_TRUE(std::equal(written.VBR.begin(), written.VBR.begin() + 24 * 512, sealed.VBR.begin()));
    EXPECT_TRUE(std::equal(written.VBR.begin(), written.VBR.begin() + 12 * 512, written.VBR.begin() + 12 * 512));
    // The backup region is written, and checked, before the main one.
    const int backup = cards.CallIndex("write 12+12");
    const int main = cards.CallIndex("write 0+12");
    ASSERT_GE(backup, 0);
    ASSERT_GE(main, 0);
    EXPECT_LT(backup, main);
    EXPECT_LT(cards.CallIndex("uncached 12+12"), main);
}

TEST_F(SaveTest, WritesTheCardDoesNotKeepAreReportedAsFailed)
{
    for (const char* fsName : {"FAT", "exFAT"}) {
        FakeCards cards;
        MakeCard(cards, fsName);
        const std::vector<uint8_t> before = cards.image;
        const int layout = std::string(fsName) == "exFAT" ? core::LayoutExFat : core::LayoutFat;
        cardops::SaveRequest r = Request(cards, layout);
        SetMlMarkers(r, layout);
        cards.dropWrites = true;
        const cardops::SaveResult result = cardops::Save(cards, r);
        EXPECT_FALSE(result.ok) << fsName;
        EXPECT_EQ(result.error.rfind("Write failed.", 0), 0u) << result.error;
        EXPECT_NE(result.error.find("did not keep"), std::string::npos) << result.error;
        EXPECT_EQ(cards.image, before);
    }
}

TEST_F(SaveTest, VolumeReplacedBetweenLoadAndSaveIsNotWritten)
{
    FakeCards cards;
    MakeCard(cards, "FAT32");
    cardops::SaveRequest r = Request(cards, core::LayoutFat32);
    SetMlMarkers(r, core::LayoutFat32);
    cards.image[0x43] ^= 0xFF;  // another serial number: the card was formatted meanwhile
    const std::vector<uint8_t> before = cards.image;
    const cardops::SaveResult result = cardops::Save(cards, r);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("changed since it was loaded"), std::string::npos) << result.error;
    EXPECT_EQ(cards.image, before);
}

TEST_F(SaveTest, FailedInstallLeavesNoFilesAndNoMarkers)
{
    FakeCards cards;
    MakeCard(cards, "FAT32");
    const std::vector<uint8_t> before = cards.image;
    // The third entry cannot be written: a folder of its name is in the way.
    const std::string zip =
        MakeZip("blocked.zip", "z.writestr('autoexec.bin', b'A' * 5000); z.writestr('ML/data/one.bin', b'1' * 300); "
                               "z.writestr('ML/data/blocked', b'2'); z.writestr('last.txt', b'3')");
    fs::create_directories(dir / "card" / "ML" / "data" / "blocked");
    std::ofstream(dir / "card" / "keep.jpg") << "a photo";
    cardops::SaveRequest r = Request(cards, core::LayoutFat32);
    SetMlMarkers(r, core::LayoutFat32);
    r.files = FileWork::Install;
    r.archive = zip;
    const cardops::SaveResult result = cardops::Save(cards, r);
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.installed);
    EXPECT_NE(result.error.find("blocked"), std::string::npos) << result.error;
    EXPECT_EQ(cards.image, before) << "markers written after a failed install";
    EXPECT_FALSE(fs::exists(dir / "card" / "autoexec.bin"));
    EXPECT_FALSE(fs::exists(dir / "card" / "ML" / "data" / "one.bin"));
    EXPECT_TRUE(fs::exists(dir / "card" / "keep.jpg")) << "a file the install did not write was removed";
    EXPECT_TRUE(fs::is_directory(dir / "card" / "ML" / "data" / "blocked"));

    // Without the obstacle the next Save installs the whole build and writes.
    fs::remove_all(dir / "card" / "ML");
    const cardops::SaveResult again = cardops::Save(cards, r);
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_TRUE(again.installed);
    EXPECT_EQ(fs::file_size(dir / "card" / "autoexec.bin"), 5000u);
    EXPECT_TRUE(fs::exists(dir / "card" / "last.txt"));
}

TEST_F(SaveTest, LeftoversOfAnUnfinishedInstallAreRemovedBeforeAnyMarker)
{
    FakeCards cards;
    MakeCard(cards, "FAT32");
    const std::vector<uint8_t> before = cards.image;
    cardops::SaveRequest r = Request(cards, core::LayoutFat32);
    SetMlMarkers(r, core::LayoutFat32);
    // The program stopped half-way through an install: its journal names
    // what it had written, and the card still holds a short start file.
    platform::Volume v = cards.volume;
    const std::string key = cardops::MediumKey(v, r.loaded);
    fs::create_directories(dir / "work" / "journal");
    std::ofstream(dir / "card" / "autoexec.bin") << "short";
    // Names are relative to the card's root (the card may be mounted
    // elsewhere next time); names that would leave the root are ignored.
    std::ofstream(dir / "outside.txt") << "not the card's";
    std::ofstream(dir / "work" / "journal" / (key + ".txt")) << "autoexec.bin\n../outside.txt\n"
                                                             << (dir / "outside.txt").string() << "\n";
    // The start file is there, so the window would ask for no file work.
    r.files = cardops::DecideFileWork(true, true, fs::exists(dir / "card" / "autoexec.bin"));
    ASSERT_EQ(r.files, FileWork::None);
    const cardops::SaveResult result = cardops::Save(cards, r);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("did not finish"), std::string::npos) << result.error;
    EXPECT_FALSE(fs::exists(dir / "card" / "autoexec.bin"));
    EXPECT_TRUE(fs::exists(dir / "outside.txt")) << "a damaged journal reached outside the card";
    EXPECT_EQ(cards.image, before) << "markers written over a partial build";
    // The journal is gone: the next Save goes ahead.
    const cardops::SaveResult next = cardops::Save(cards, r);
    EXPECT_TRUE(next.ok) << next.error;
}

TEST_F(SaveTest, UserSpaceMountIsUnmountedAfterFileWorkAndBeforeTheWrite)
{
    FakeCards cards;
    MakeCard(cards, "exFAT");
    cards.volume.mountPoint = cards.mountRoot;
    cards.volume.userSpaceMount = true;
    std::ofstream(dir / "card" / "autoexec.bin") << "old build";
    cardops::SaveRequest r = Request(cards, core::LayoutExFat);
    r.files = FileWork::Remove;
    const cardops::SaveResult result = cardops::Save(cards, r);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.removed);
    EXPECT_TRUE(result.unmounted);
    EXPECT_FALSE(fs::exists(dir / "card" / "autoexec.bin"));
    const int unmount = cards.CallIndex("unmount");
    ASSERT_GE(unmount, 0);
    EXPECT_LT(unmount, cards.CallIndex("write"));
}

TEST_F(SaveTest, BackupsAreKeptListedInOrderAndRestoreTheRegionExactly)
{
    for (const char* fsName : {"FAT", "FAT32", "exFAT"}) {
        FakeCards cards;
        MakeCard(cards, fsName);
        fs::remove_all(dir / "work");
        const int layout = std::string(fsName) == "exFAT"   ? core::LayoutExFat
                           : std::string(fsName) == "FAT32" ? core::LayoutFat32
                                                            : core::LayoutFat;
        const std::vector<uint8_t> original = cards.image;
        cardops::SaveRequest r = Request(cards, layout);
        SetMlMarkers(r, layout);
        ASSERT_TRUE(cardops::Save(cards, r).ok) << fsName;
        cardops::SaveRequest second = Request(cards, layout);
        ASSERT_TRUE(cardops::Save(cards, second).ok) << fsName;

        cardops::Region now{};
        std::copy(cards.image.begin(), cards.image.begin() + 24 * 512, now.begin());
        const auto list = cardops::ListBackups((dir / "work").string(), cards.volume, now);
        ASSERT_EQ(list.size(), 2u) << fsName << ": a backup was overwritten or not kept";
        cardops::Region first{};
        ASSERT_TRUE(cardops::ReadBackup(list.front().path, &first, nullptr));
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + 24 * 512, first.begin()))
            << fsName << ": the oldest backup is not the region before the first write";

        const cardops::SaveResult restored = cardops::Restore(cards, cards.volume.name, cards.volume.identity, layout,
                                                              first, (dir / "work").string() + "/");
        ASSERT_TRUE(restored.ok) << restored.error;
        const size_t span = layout == core::LayoutExFat ? 24 * 512 : 512;
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + span, cards.image.begin())) << fsName;
    }
    // A file that is not a whole region is not a backup.
    std::ofstream(dir / "short.bin") << "short";
    cardops::Region region{};
    std::string why;
    EXPECT_FALSE(cardops::ReadBackup((dir / "short.bin").string(), &region, &why));
    EXPECT_NE(why.find("not a boot-region backup"), std::string::npos);
}

TEST(FileWorkDecision, FollowsTheMarkersAndTheStartFile)
{
    EXPECT_EQ(cardops::DecideFileWork(true, true, false), FileWork::Install);
    EXPECT_EQ(cardops::DecideFileWork(true, true, true), FileWork::None);
    EXPECT_EQ(cardops::DecideFileWork(false, false, true), FileWork::Remove);
    EXPECT_EQ(cardops::DecideFileWork(false, false, false), FileWork::None);
    EXPECT_EQ(cardops::DecideFileWork(true, false, false), FileWork::None);
}

}  // namespace
