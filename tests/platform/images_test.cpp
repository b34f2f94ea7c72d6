// Card images: finding the volume (bare, MBR, GPT) from bytes, and the image
// backend on real images made with mkfs.fat, mkfs.exfat and sfdisk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/images.h"
#include "platform/partitions.h"
#include "support/fakecards.h"
#include "support/loopcard.h"

namespace fs = std::filesystem;
using platform::AccessError;

namespace {

void Put16(uint8_t* p, uint32_t v)
{
    p[0] = v & 0xFF;
    p[1] = (v >> 8) & 0xFF;
}
void Put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = (v >> (8 * i)) & 0xFF;
}
void Put64(uint8_t* p, uint64_t v)
{
    Put32(p, static_cast<uint32_t>(v));
    Put32(p + 4, static_cast<uint32_t>(v >> 32));
}

// A FAT boot sector with one sector per cluster and the given cluster count.
std::vector<uint8_t> FatSector(uint32_t clusters, bool fat32Fields)
{
    std::vector<uint8_t> s(512, 0);
    s[0] = 0xEB;
    s[1] = 0x3C;
    s[2] = 0x90;
    Put16(&s[11], 512);
    s[13] = 1;
    Put16(&s[14], fat32Fields ? 32 : 1);
    s[16] = 2;
    const uint32_t rootEntries = fat32Fields ? 0 : 512;
    Put16(&s[17], rootEntries);
    const uint32_t fatSize = 300;
    const uint32_t total = (fat32Fields ? 32 : 1) + 2 * fatSize + rootEntries * 32 / 512 + clusters;
    Put32(&s[32], total);
    if (fat32Fields) {
        Put32(&s[36], fatSize);
        Put32(&s[44], 2);
    } else {
        Put16(&s[22], fatSize);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

// An in-memory image with a reader over it.
struct Bytes {
    std::vector<uint8_t> data;
    platform::SectorReader Reader() const
    {
        return [this](uint64_t first, uint32_t count, uint8_t* out) {
            if ((first + count) * 512 > data.size())
                return false;
            std::memcpy(out, data.data() + first * 512, count * 512);
            return true;
        };
    }
    uint64_t sectors() const { return data.size() / 512; }
};

// A GPT of one partition at [first, last], with both checksums right.
Bytes GptImage(uint64_t sectors, uint64_t first, uint64_t last)
{
    Bytes b;
    b.data.assign(sectors * 512, 0);
    uint8_t* mbr = b.data.data();
    mbr[446 + 4] = 0xEE;
    Put32(mbr + 446 + 8, 1);
    Put32(mbr + 446 + 12, static_cast<uint32_t>(sectors - 1));
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    uint8_t* entries = b.data.data() + 2 * 512;
    std::memset(entries, 0x11, 16);  // any non-zero type
    Put64(entries + 32, first);
    Put64(entries + 40, last);
    uint8_t* h = b.data.data() + 512;
    std::memcpy(h, "EFI PART", 8);
    Put32(h + 8, 0x00010000);
    Put32(h + 12, 92);
    Put64(h + 72, 2);
    Put32(h + 80, 128);
    Put32(h + 84, 128);
    Put32(h + 88, static_cast<uint32_t>(crc32(0L, entries, 128 * 128)));
    Put32(h + 16, static_cast<uint32_t>(crc32(0L, h, 92)));
    return b;
}

}  // namespace

// --------------------------------------------------------- pure parsing

TEST(BootSectorProbe, ClusterCountsDecideTheFatKindAtTheirLimits)
{
    EXPECT_EQ(platform::ProbeBootSector(FatSector(4084, false).data()).fsName, "FAT");
    EXPECT_EQ(platform::ProbeBootSector(FatSector(65524, false).data()).fsName, "FAT");
    EXPECT_EQ(platform::ProbeBootSector(FatSector(65525, true).data()).fsName, "FAT32");
    // As many clusters, but FAT16's fields filled in: not a consistent FAT32.
    EXPECT_EQ(platform::ProbeBootSector(FatSector(65525, false).data()).fsName, "");
    std::vector<uint8_t> s = FatSector(70000, true);
    Put16(&s[11], 4096);  // other sector sizes cannot be edited
    EXPECT_EQ(platform::ProbeBootSector(s.data()).fsName, "");
    s = FatSector(70000, true);
    s[510] = 0;  // no boot signature
    EXPECT_EQ(platform::ProbeBootSector(s.data()).fsName, "");
    std::memcpy(&s[3], "EXFAT   ", 8);  // exFAT with 4096-byte sectors
    s[108] = 12;
    s[510] = 0x55;
    EXPECT_EQ(platform::ProbeBootSector(s.data()).fsName, "");
}

TEST(PartitionTables, GptNeedsBothChecksums)
{
    Bytes b = GptImage(8192, 2048, 6143);
    std::vector<uint8_t> fat = FatSector(3000, false);
    Put16(&fat[19], 4096);
    Put32(&fat[32], 0);
    std::memcpy(b.data.data() + 2048 * 512, fat.data(), 512);
    platform::LocatedVolume v;
    std::string why;
    ASSERT_TRUE(platform::LocateVolume(b.Reader(), b.sectors(), 1, &v, &why)) << why;
    EXPECT_EQ(v.firstSector, 2048u);
    EXPECT_EQ(v.sectorCount, 4096u);

    Bytes badEntries = b;
    badEntries.data[2 * 512 + 33] ^= 1;  // the entry's first sector, not its checksum
    EXPECT_FALSE(platform::LocateVolume(badEntries.Reader(), badEntries.sectors(), 1, &v, &why));
    EXPECT_NE(why.find("entry array does not match"), std::string::npos) << why;
    Bytes badHeader = b;
    badHeader.data[512 + 80] ^= 1;
    EXPECT_FALSE(platform::LocateVolume(badHeader.Reader(), badHeader.sectors(), 1, &v, &why));
    EXPECT_NE(why.find("header's checksum"), std::string::npos) << why;
    Bytes noHeader = b;
    noHeader.data[512] = 'X';
    EXPECT_FALSE(platform::LocateVolume(noHeader.Reader(), noHeader.sectors(), 1, &v, &why));
}

// --------------------------------------------------------- real images

namespace {

class ImageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* tool : {"mkfs.fat", "mkfs.exfat", "sfdisk"}) {
            if (testsupport::RunCommand({"sh", "-c", std::string("command -v ") + tool}) != 0) {
                if (testsupport::InCI())
                    FAIL() << tool << " is missing";
                GTEST_SKIP() << tool << " is not installed";
            }
        }
        char tmpl[] = "/tmp/flintor-images-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        std::error_code ec;
        if (!dir_.empty())
            fs::remove_all(dir_, ec);
    }

    std::string Volume(const std::string& fsType, uint64_t mib, const std::string& label)
    {
        const std::string path = dir_ + "/vol-" + std::to_string(counter_++);
        std::filesystem::resize_file(Touch(path), mib << 20);
        std::string out;
        int rc = -1;
        if (fsType == "exFAT")
            rc = testsupport::RunCommand({"mkfs.exfat", "-L", label, path}, &out);
        else
            rc = testsupport::RunCommand({"mkfs.fat", "-F",
                                          fsType == "FAT32"   ? "32"
                                          : fsType == "FAT12" ? "12"
                                                              : "16",
                                          "-n", label, path},
                                         &out);
        EXPECT_EQ(rc, 0) << out;
        return path;
    }
    std::string Touch(const std::string& path)
    {
        std::ofstream(path, std::ios::binary).flush();
        return path;
    }
    // A whole card: a table ("dos" or "gpt") with the volumes, each from the
    // given MiB on.
    std::string Card(const std::string& table, const std::vector<std::pair<uint64_t, std::string>>& parts,
                     uint64_t totalMib, const std::string& name = "card.img")
    {
        const std::string path = dir_ + "/" + name;
        fs::resize_file(Touch(path), totalMib << 20);
        std::string script = "label: " + table + "\n";
        for (const auto& [startMib, volume] : parts)
            script += "start=" + std::to_string(startMib * 2048) +
                      ", size=" + std::to_string(fs::file_size(volume) / 512) +
                      ", type=" + (table == "gpt" ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7" : "c") + "\n";
        const std::string scriptPath = dir_ + "/table";
        std::ofstream(scriptPath) << script;
        std::string out;
        EXPECT_EQ(testsupport::RunCommand({"sh", "-c", "sfdisk -q '" + path + "' < '" + scriptPath + "'"}, &out), 0)
            << out;
        for (const auto& [startMib, volume] : parts)
            EXPECT_EQ(testsupport::RunCommand({"dd", "if=" + volume, "of=" + path, "bs=1M",
                                               "seek=" + std::to_string(startMib), "conv=notrunc", "status=none"},
                                              &out),
                      0)
                << out;
        return path;
    }
    static std::vector<uint8_t> ReadAll(const std::string& path)
    {
        std::vector<uint8_t> bytes(fs::file_size(path));
        std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), bytes.size());
        return bytes;
    }

    std::string dir_;
    int counter_ = 0;
};

std::unique_ptr<platform::CardAccess> Images(const std::vector<platform::ImageSpec>& specs, std::string* why)
{
    return platform::WithImages(nullptr, specs, why);
}

}  // namespace

TEST_F(ImageFiles, GptCardListsTheExFatPartitionAndWritesInPlace)
{
    const std::string card = Card("gpt", {{1, Volume("exFAT", 24, "CARDX")}}, 32);
    const std::vector<uint8_t> before = ReadAll(card);
    std::string why;
    auto cards = Images({{card, 0, ""}}, &why);
    ASSERT_TRUE(cards) << why;
    const auto list = cards->ListVolumes();
    ASSERT_EQ(list.size(), 1u);
    const platform::Volume& v = list[0];
    EXPECT_EQ(v.name, "card.img");
    EXPECT_EQ(v.device, card);
    EXPECT_EQ(v.fsName, "exFAT");
    EXPECT_EQ(v.label, "CARDX");
    EXPECT_EQ(v.sizeBytes, 24ull << 20);
    EXPECT_EQ(v.sectorSize, 512u);
    EXPECT_EQ(v.identity.rfind("image:", 0), 0u);
    EXPECT_NE(v.identity.find(":1048576:"), std::string::npos) << v.identity;

    std::vector<uint8_t> region(24 * 512);
    ASSERT_TRUE(cards->ReadSectors("card.img", 0, 24, region.data(), region.size()).ok());
    EXPECT_EQ(std::memcmp(region.data() + 3, "EXFAT   ", 8), 0);
    std::vector<uint8_t> sector(512, 0xA5);
    ASSERT_TRUE(cards->WriteSectors("card.img", 3, 1, sector.data(), sector.size()).ok());
    std::vector<uint8_t> expected = before;
    std::memset(expected.data() + (1 << 20) + 3 * 512, 0xA5, 512);
    EXPECT_TRUE(ReadAll(card) == expected) << "a write must land at the partition's sector 3 and nowhere else";
    std::vector<uint8_t> back(512);
    ASSERT_TRUE(cards->ReadSectorsUncached("card.img", 3, 1, back.data(), back.size()).ok());
    EXPECT_EQ(back, sector);
}

TEST_F(ImageFiles, MbrPartitionNumbersAndTheirErrors)
{
    const std::string card =
        Card("dos", {{1, Volume("FAT12", 8, "FIRST")}, {10, Volume("FAT32", 40, "EOS_DIGITAL")}}, 52);
    std::string why;
    auto first = Images({{card, 0, ""}}, &why);
    ASSERT_TRUE(first) << why;
    platform::Volume v;
    ASSERT_TRUE(first->FindVolume("card.img", &v));
    EXPECT_EQ(v.fsName, "FAT");
    EXPECT_EQ(v.label, "FIRST");
    auto second = Images({{card, 2, "/mnt/somewhere"}}, &why);
    ASSERT_TRUE(second) << why;
    ASSERT_TRUE(second->FindVolume("card.img", &v));
    EXPECT_EQ(v.fsName, "FAT32");
    EXPECT_EQ(v.label, "EOS_DIGITAL");
    EXPECT_EQ(v.mountPoint, "/mnt/somewhere");
    std::string root;
    EXPECT_TRUE(second->Mount("card.img", &root).ok());
    EXPECT_EQ(root, "/mnt/somewhere");
    const platform::AccessResult noRoot = first->Mount("card.img", &root);
    EXPECT_EQ(noRoot.error, AccessError::Unsupported);
    EXPECT_NE(noRoot.why.find("--root DIR"), std::string::npos) << noRoot.why;
    platform::Volume named;
    ASSERT_TRUE(first->FindVolume("card.img", &named));
    const platform::FormatOutcome image = first->Format("card.img", named.identity, "FAT32", "X");
    EXPECT_EQ(image.code, platform::FormatNotFormatable);
    EXPECT_EQ(image.access.error, AccessError::Unsupported);
    EXPECT_EQ(first->Format("card.img", named.identity + "x", "FAT32", "X").access.error, AccessError::NotFound);

    EXPECT_FALSE(Images({{card, 3, ""}}, &why));
    EXPECT_NE(why.find("no partition 3"), std::string::npos) << why;

    // Transfers stay inside the partition: the last sector of partition 1 is
    // the end, even though the file goes on.
    const uint64_t p1Sectors = (8ull << 20) / 512;
    std::vector<uint8_t> two(1024, 0x5A);
    const std::vector<uint8_t> before = ReadAll(card);
    const platform::AccessResult past = first->WriteSectors("card.img", p1Sectors - 1, 2, two.data(), two.size());
    EXPECT_FALSE(past.ok());
    EXPECT_TRUE(ReadAll(card) == before);
}

TEST_F(ImageFiles, AnImageCutShortAfterListingIsNotWrittenPastItsEnd)
{
    std::string why;
    // A good image that is cut short after it was listed: later transfers
    // are refused, not served from beyond the end.
    const std::string later = Volume("FAT16", 16, "LATER");
    auto cards = Images({{later, 0, ""}}, &why);
    ASSERT_TRUE(cards) << why;
    fs::resize_file(later, 8 << 20);
    std::vector<uint8_t> sector(512, 1);
    EXPECT_FALSE(cards->WriteSectors(fs::path(later).filename().string(), 0, 1, sector.data(), 512).ok());
    EXPECT_EQ(fs::file_size(later), 8u << 20);
}

TEST_F(ImageFiles, NamesAreUniqueAndOtherNamesGoToTheInnerBackend)
{
    const std::string a = Volume("FAT16", 16, "A");
    fs::create_directory(dir_ + "/other");
    const std::string b = dir_ + "/other/" + fs::path(a).filename().string();
    fs::copy_file(a, b);
    auto inner = std::make_unique<testsupport::FakeCards>();
    inner->volume.name = "sdz1";
    inner->volume.fsName = "FAT32";
    inner->image.assign(24 * 512, 0x33);
    testsupport::FakeCards* fake = inner.get();
    // An inner card that carries an image's name keeps it; the image moves aside.
    inner->volume.name = fs::path(a).filename().string();
    std::string why;
    auto cards = platform::WithImages(std::move(inner), {{a, 0, ""}, {b, 0, ""}}, &why);
    ASSERT_TRUE(cards) << why;
    const auto list = cards->ListVolumes();
    ASSERT_EQ(list.size(), 3u);
    const std::string base = fs::path(a).filename().string();
    EXPECT_EQ(list[0].name, base);
    EXPECT_EQ(list[0].device, "");
    EXPECT_EQ(list[1].name, base + "-2");
    EXPECT_EQ(list[1].device, a);
    EXPECT_EQ(list[2].name, base + "-3");
    EXPECT_EQ(list[2].device, b);
    std::vector<uint8_t> sector(512);
    ASSERT_TRUE(cards->ReadSectors(base, 0, 1, sector.data(), sector.size()).ok());
    EXPECT_EQ(sector[0], 0x33) << "the inner card's name must reach the inner backend";
    EXPECT_EQ(fake->CallIndex("read 0+1"), 0);
}
