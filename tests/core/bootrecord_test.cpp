#include "core/bootrecord.h"

#include <gtest/gtest.h>

using core::BootRecord;

namespace {
std::string Bytes(const BootRecord& r, uint32_t at, int n)
{
    return std::string(reinterpret_cast<const char*>(&r.VBR[at]), static_cast<size_t>(n));
}
}  // namespace

TEST(BootRecord, ReadingKeepsOnlyMarkerCharacters)
{
    BootRecord r;
    r.SetVBRString("NO NAME    ", 0x47, 11);
    EXPECT_EQ(r.GetVBRString(0x47, 11), "NONAME");
    r.SetVBRString("CARD9", 0x2B, 11);
    EXPECT_EQ(r.GetVBRString(0x2B, 11), "CARD");
    r.SetVBRString("EOS_DEVELOP", 0x2B, 11);
    EXPECT_EQ(r.GetVBRString(0x2B, 11), "EOS_DEVELOP");
    r.SetVBRString("ab-.\x01\xC4Z8", 0x40, 8);
    EXPECT_EQ(r.GetVBRString(0x40, 8), "-.Z8");
}

TEST(BootRecord, WritingPadsCutsAndClears)
{
    BootRecord r;
    r.SetVBRString("BOOT", 0x5C, 8);
    EXPECT_EQ(Bytes(r, 0x5C, 8), "BOOT    ");
    EXPECT_EQ(r.VBR[0x64], 0);  // nothing beyond the width
    r.SetVBRString("", 0x1F0, 6);
    EXPECT_EQ(Bytes(r, 0x1F0, 6), "      ");
    r.SetVBRString("BOOTDISKXYZ", 0x5C, 8);
    EXPECT_EQ(Bytes(r, 0x5C, 8), "BOOTDISK");
    r.SetVBRDWord(0x11223344u, 10);
    EXPECT_EQ(r.VBR[10], 0x44);
    EXPECT_EQ(r.VBR[13], 0x11);
}

TEST(BootRecord, LayoutsAndCaptions)
{
    auto fat = core::SelectLayout("FAT");
    EXPECT_EQ(fat.index, 0);
    EXPECT_EQ(fat.labelPos, 0x2Bu);
    EXPECT_EQ(fat.bootPos, 0x40u);
    EXPECT_EQ(fat.scriptPos, 0x1F0u);
    auto fat32 = core::SelectLayout("FAT32");
    EXPECT_EQ(fat32.index, 1);
    EXPECT_EQ(fat32.labelPos, 0x47u);
    EXPECT_EQ(fat32.bootPos, 0x5Cu);
    auto exfat = core::SelectLayout("exFAT");
    EXPECT_EQ(exfat.index, 2);
    EXPECT_EQ(exfat.labelPos, 0x82u);
    EXPECT_EQ(exfat.bootPos, 0x7Au);
    EXPECT_EQ(exfat.scriptPos, 0u);
    for (const char* other : {"FAT12", "fat32", "EXFAT", "", "ntfs"}) {
        auto none = core::SelectLayout(other);
        EXPECT_EQ(none.index, -1) << other;
        EXPECT_EQ(none.labelPos + none.bootPos + none.scriptPos, 0u) << other;
    }
    EXPECT_EQ(core::OffsetCaption(0x5C), "0x05C");
    EXPECT_EQ(core::OffsetCaption(0x1E0), "0x1E0");
    EXPECT_EQ(core::OffsetCaption(0), "");
}

TEST(BootRecord, PlacePairKeepsOneBootStringOnFat)
{
    BootRecord r;
    r.SetVBRString("BOOTDISK", 0x5C, 8);
    r.SetVBRString("BOOTDISK", 0x1E0, 8);
    r.BootPos = 0x1E0;
    r.ApplyPlacePair(core::LayoutFat32);
    EXPECT_EQ(Bytes(r, 0x5C, 8), "        ");
    EXPECT_EQ(Bytes(r, 0x1E0, 8), "BOOTDISK");

    r.SetVBRString("BOOTDISK", 0x5C, 8);
    r.BootPos = 0x5C;
    r.ApplyPlacePair(core::LayoutFat32);
    EXPECT_EQ(Bytes(r, 0x1E0, 8), "        ");
    EXPECT_EQ(Bytes(r, 0x5C, 8), "BOOTDISK");

    BootRecord fat;
    fat.VBR[0x5C] = 0xAB;
    fat.VBR[0x1E0] = 0xCD;
    fat.BootPos = 0x40;
    fat.ApplyPlacePair(core::LayoutFat);
    EXPECT_EQ(fat.VBR[0x5C], 0xAB);
    EXPECT_EQ(fat.VBR[0x1E0], 0xCD);

    // A CHDK card on FAT keeps its one boot string at 0x1E0.
    fat.SetVBRString("BOOTDISK", 0x40, 8);
    fat.SetVBRString("BOOTDISK", 0x1E0, 8);
    fat.BootPos = 0x1E0;
    fat.ApplyPlacePair(core::LayoutFat);
    EXPECT_EQ(Bytes(fat, 0x40, 8), "        ");
    EXPECT_EQ(Bytes(fat, 0x5C, 8), "        ");
    EXPECT_EQ(Bytes(fat, 0x1E0, 8), "BOOTDISK");
}

TEST(BootRecord, PlacePairNeverTouchesExFatFieldsAt5C)
{
    BootRecord r;
    for (int i = 0; i < 8; ++i)
        r.VBR[0x5C + i] = static_cast<uint8_t>(0x10 + i);
    r.SetVBRString("BOOTDISK", 0x1E0, 8);
    r.SetVBRString("BOOTDISK", 0x7A, 8);
    r.BootPos = 0x1E0;
    r.ApplyPlacePair(core::LayoutExFat);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(r.VBR[0x5C + i], 0x10 + i);
    EXPECT_EQ(Bytes(r, 0x7A, 8), "        ");
    EXPECT_EQ(Bytes(r, 0x1E0, 8), "BOOTDISK");

    // With the layout's own place, a boot string left at 0x1E0 goes, while
    // boot code there stays.
    r.SetVBRString("BOOTDISK", 0x7A, 8);
    for (int i = 0; i < 8; ++i)
        r.VBR[0x1E0 + i] = 0xCD;
    r.BootPos = 0x7A;
    r.ApplyPlacePair(core::LayoutExFat);
    EXPECT_EQ(Bytes(r, 0x1E0, 8), std::string(8, '\xCD'));
    r.SetVBRString("BOOTDISK", 0x1E0, 8);
    r.ApplyPlacePair(core::LayoutExFat);
    EXPECT_EQ(Bytes(r, 0x1E0, 8), "        ");
    EXPECT_EQ(r.VBR[0x5C], 0x10);
}

TEST(BootRecord, ExFatSealChecksumAndBackup)
{
    BootRecord zero;
    zero.SealExFatBootRegion();
    for (int i = 5632; i < 6144; ++i)
        ASSERT_EQ(zero.VBR[i], 0) << i;

    BootRecord r;
    for (int i = 0; i < 12 * 512; ++i)
        r.VBR[i] = static_cast<uint8_t>(i * 7 + 3);
    for (int i = 6656; i < 11776; ++i)
        r.VBR[i] = static_cast<uint8_t>(i * 13);
    const uint32_t before = r.ExFatChecksum();
    for (int excluded : {106, 107, 112}) {
        BootRecord c = r;
        c.VBR[excluded] ^= 0xFF;
        EXPECT_EQ(c.ExFatChecksum(), before) << excluded;
    }
    for (int counted : {0, 105, 108, 113, 511, 5631}) {
        BootRecord c = r;
        c.VBR[counted] ^= 0x01;
        EXPECT_NE(c.ExFatChecksum(), before) << counted;
    }
    // A known value: a single byte 1 at offset 0 followed by zeros rotates
    // right 5631 - 3 times (three excluded bytes).
    BootRecord one;
    one.VBR[0] = 1;
    uint32_t expected = 1;
    for (int i = 1; i < 5632; ++i)
        if (i != 106 && i != 107 && i != 112)
            expected = (expected >> 1) | (expected << 31);
    EXPECT_EQ(one.ExFatChecksum(), expected);

    auto backupRegion = std::vector<uint8_t>(r.VBR.begin() + 6656, r.VBR.begin() + 11776);
    r.SealExFatBootRegion();
    for (int k = 0; k < 128; ++k) {
        uint32_t word = r.VBR[5632 + 4 * k] | r.VBR[5633 + 4 * k] << 8 | r.VBR[5634 + 4 * k] << 16 |
                        static_cast<uint32_t>(r.VBR[5635 + 4 * k]) << 24;
        ASSERT_EQ(word, before);
    }
    EXPECT_TRUE(std::equal(r.VBR.begin(), r.VBR.begin() + 512, r.VBR.begin() + 6144));
    EXPECT_TRUE(std::equal(backupRegion.begin(), backupRegion.end(), r.VBR.begin() + 6656));
    // The backup checksum sector covers the backup region's own sectors.
    const uint32_t backupSum = r.ExFatChecksum(12 * 512);
    EXPECT_EQ(r.VBR[11776] | r.VBR[11777] << 8 | r.VBR[11778] << 16 | static_cast<uint32_t>(r.VBR[11779]) << 24,
              backupSum);

    // When both regions agree, the two checksum sectors are equal.
    BootRecord same;
    for (int i = 0; i < 11 * 512; ++i)
        same.VBR[i] = same.VBR[i + 6144] = static_cast<uint8_t>(i * 31);
    same.SealExFatBootRegion();
    EXPECT_TRUE(std::equal(same.VBR.begin() + 5632, same.VBR.begin() + 6144, same.VBR.begin() + 11776));
    // A sealed region's sums match; one changed byte or checksum word breaks each on its own.
    EXPECT_TRUE(same.ExFatChecksumMatches(0) && same.ExFatChecksumMatches(12 * 512));
    same.VBR[0x82] ^= 1;
    EXPECT_FALSE(same.ExFatChecksumMatches(0));
    EXPECT_TRUE(same.ExFatChecksumMatches(12 * 512));
    same.VBR[11776 + 4 * 127] ^= 1;
    EXPECT_FALSE(same.ExFatChecksumMatches(12 * 512));
    EXPECT_EQ(BootRecord::SaveSectorCount(core::LayoutExFat), 24);
    EXPECT_EQ(BootRecord::SaveSectorCount(core::LayoutFat32), 1);
    EXPECT_EQ(BootRecord::SaveSectorCount(core::LayoutNone), 1);
}
