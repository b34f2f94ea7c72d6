// The Save sequence against a card held in memory: what is checked before
// anything changes, what is written and in which order, and what is left when
// something fails half-way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "cardops/removefiles.h"
#include "cardops/savesequence.h"
#include "core/bootrecord.h"
#include "support/savefixture.h"

namespace fs = std::filesystem;
using cardops::FileWork;
using testsupport::FakeCards;

namespace {

class SaveTest : public testsupport::SaveFixture {
protected:
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
    const std::string good = (dir / "good.zip").string();
    const std::string noStart = (dir / "nostart.zip").string();
    ASSERT_TRUE(testsupport::MakeZip(good, {{"autoexec.bin", std::string(1000, 'x')}}));
    ASSERT_TRUE(testsupport::MakeZip(noStart, {{"ML/readme.txt", "hello"}}));

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
        {"no journal can be kept",
         [&](FakeCards&, cardops::SaveRequest& r) {
             r.files = FileWork::Install;
             testsupport::WriteWhole((dir / "work" / "journal").string(), "a file where the folder goes");
         },
         "No record of the Save"},
    };
    for (const Case& c : cases) {
        FakeCards probe = cards;
        cardops::SaveRequest r = Request(probe, true);
        r.archive = good;
        c.fault(probe, r);
        const cardops::SaveResult result = cardops::Save(probe, r);
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_TRUE(result.nothingChanged) << c.what;
        EXPECT_NE(result.error.find(c.words), std::string::npos) << c.what << ": " << result.error;
        EXPECT_NE(result.error.find("sdz1"), std::string::npos) << c.what << ": the message names the card";
        EXPECT_EQ(probe.image, before) << c.what;
        EXPECT_EQ(probe.CallIndex("write"), -1) << c.what;
        EXPECT_TRUE(fs::is_empty(Card())) << c.what;
        fs::remove(dir / "work" / "journal");
        fs::remove_all(dir / "work" / "backups");
    }
}

TEST_F(SaveTest, ExFatWriteKeepsDriverStateSealsAndWritesBackupRegionFirst)
{
    FakeCards cards;
    MakeCard(cards, "exFAT");
    cardops::SaveRequest r = Request(cards, true);
    // Between load and save a driver marks the volume dirty and updates its
    // use percentage in both regions.
    for (size_t base : {size_t{0}, size_t{12 * 512}}) {
        cards.image[base + 106] = 0x02;
        cards.image[base + 112] = 37;
    }
    const cardops::SaveResult result = cardops::Save(cards, r);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_FALSE(result.backupPath.empty());
    EXPECT_FALSE(JournalLeft());

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

TEST_F(SaveTest, Fat32BackupBootSectorGetsTheSameChangesAfterTheMainOne)
{
    FakeCards cards;
    MakeCard(cards, "FAT32");
    ASSERT_EQ(cards.image[0x32], 6) << "mkfs names sector 6 as the backup";
    cardops::SaveRequest r = Request(cards, true);
    const cardops::SaveResult result = cardops::Save(cards, r);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(std::equal(cards.image.begin(), cards.image.begin() + 512, cards.image.begin() + 6 * 512))
        << "the backup boot sector differs from the main one";
    EXPECT_EQ(std::string(cards.image.begin() + 0x47, cards.image.begin() + 0x47 + 11), "EOS_DEVELOP");
    EXPECT_LT(cards.CallIndex("write 0+1"), cards.CallIndex("write 6+1"));

    // A backup sector number outside the reserved sectors is not written.
    MakeCard(cards, "FAT32");
    cards.image[0x32] = 40;
    ASSERT_TRUE(cardops::Save(cards, Request(cards, true)).ok);
    EXPECT_EQ(cards.CallIndex("write 40"), -1);
}

TEST_F(SaveTest, WritesTheCardDoesNotKeepAreReportedAsFailed)
{
    for (const char* fsName : {"FAT", "exFAT"}) {
        FakeCards cards;
        MakeCard(cards, fsName);
        const std::vector<uint8_t> before = cards.image;
        cardops::SaveRequest r = Request(cards, true);
        cards.dropWrites = true;
        const cardops::SaveResult result = cardops::Save(cards, r);
        EXPECT_FALSE(result.ok) << fsName;
        EXPECT_EQ(result.error.rfind("Write failed.", 0), 0u) << result.error;
        EXPECT_NE(result.error.find("did not keep"), std::string::npos) << result.error;
        EXPECT_EQ(cards.image, before);
        EXPECT_FALSE(JournalLeft()) << "a region the write did not change needs no recovery";
    }
}

TEST_F(SaveTest, VolumeReplacedBetweenLoadAndSaveIsNotWritten)
{
    FakeCards cards;
    MakeCard(cards, "FAT32");
    cardops::SaveRequest r = Request(cards, true);
    cards.image[0x43] ^= 0xFF;  // another serial number: the card was formatted meanwhile
    const std::vector<uint8_t> before = cards.image;
    const cardops::SaveResult result = cardops::Save(cards, r);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("changed since it was loaded"), std::string::npos) << result.error;
    EXPECT_EQ(cards.image, before);
}

TEST_F(SaveTest, RemovalWritesTheBootRecordFirstThenRemovesTheFilesAndMountsAgain)
{
    FakeCards cards;
    MakeCard(cards, "exFAT");
    cards.volume.mountPoint = cards.mountRoot;
    cards.volume.userSpaceMount = true;
    testsupport::WriteWhole(Card() + "/ML/modules/a.mo", "module");
    testsupport::WriteWhole(Card() + "/DCIM/IMG_0001.JPG", "a photo");
    testsupport::WriteWhole(Card() + "/autoexec.bin", "old build");
    bool filesWhenWritten = false;
    cards.onWrite = [&] { filesWhenWritten = fs::exists(Card() + "/autoexec.bin"); };
    cardops::SaveRequest r = Request(cards);
    r.files = FileWork::Remove;
    const cardops::SaveResult result = cardops::Save(cards, r);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.removed);
    EXPECT_TRUE(filesWhenWritten) << "files were removed before the boot record was written";
    EXPECT_EQ(testsupport::TreeOf(Card()), (testsupport::Tree{{"DCIM", "<folder>"}, {"DCIM/IMG_0001.JPG", "a photo"}}));
    // Unmounted for the write, mounted again after it.
    EXPECT_TRUE(result.unmounted && result.remounted && result.mountPoint == cards.mountRoot);
    const int write = cards.CallIndex("write");
    EXPECT_TRUE(cards.CallIndex("unmount") >= 0 && cards.CallIndex("unmount") < write);
    EXPECT_NE(std::find(cards.calls.begin() + write, cards.calls.end(), "mount"), cards.calls.end());
    EXPECT_FALSE(JournalLeft());
}

TEST(RemovalMarkers, OnlyWhatStartsMagicLanternIsCleared)
{
    // The label place, the layout's boot place and CHDK's place 0x1E0 of a
    // FAT32 sector, before and after.
    struct Case {
        const char *label, *boot, *alt, *label2, *boot2, *alt2;
    };
    for (const Case& c :
         {Case{"EOS_DEVELOP", "BOOTDISK", "BOOTDISK", "", "", "BOOTDISK"},
          Case{"EOS_DEVELOP", "", "BOOTDISK", "", "", ""}, Case{"EOS_DEVELOP", "BOOTDISK", "", "", "", ""},
          Case{"", "BOOTDISK", "BOOTDISK", "", "BOOTDISK", "BOOTDISK"}}) {
        core::BootRecord b;
        b.SetVBRString(c.label, 0x47, 11);
        b.SetVBRString(c.boot, 0x5C, 8);
        b.SetVBRString(c.alt, 0x1E0, 8);
        b.VBR = cardops::ClearMagicLanternStart(b.VBR, core::LayoutFat32, nullptr);
        EXPECT_EQ(b.GetVBRString(0x47, 11) + "|" + b.GetVBRString(0x5C, 8) + "|" + b.GetVBRString(0x1E0, 8),
                  std::string(c.label2) + "|" + c.boot2 + "|" + c.alt2)
            << c.label << " " << c.boot << " " << c.alt;
    }
}

TEST_F(SaveTest, BackupsAreKeptListedInOrderAndRestoreTheRegionExactly)
{
    for (const char* fsName : {"FAT", "FAT32", "exFAT"}) {
        FakeCards cards;
        MakeCard(cards, fsName);
        fs::remove_all(dir / "work");
        const std::vector<uint8_t> original = cards.image;
        cardops::SaveRequest r = Request(cards, true);
        ASSERT_TRUE(cardops::Save(cards, r).ok) << fsName;
        cardops::SaveRequest second = Request(cards);
        ASSERT_TRUE(cardops::Save(cards, second).ok) << fsName;

        cardops::Region now{};
        std::copy(cards.image.begin(), cards.image.begin() + 24 * 512, now.begin());
        const auto list = cardops::ListBackups((dir / "work").string(), cards.volume, now);
        ASSERT_EQ(list.size(), 2u) << fsName << ": a backup was overwritten or not kept";
        cardops::Region first{};
        ASSERT_TRUE(cardops::ReadBackup(list.front().path, &first, nullptr));
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + 24 * 512, first.begin()))
            << fsName << ": the oldest backup is not the region before the first write";

        const cardops::SaveResult restored = cardops::Restore(cards, cards.volume.name, cards.volume.identity,
                                                              core::SelectLayout(fsName).index, first, Work());
        ASSERT_TRUE(restored.ok) << restored.error;
        EXPECT_TRUE(std::equal(original.begin(), original.begin() + 24 * 512, cards.image.begin())) << fsName;
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
