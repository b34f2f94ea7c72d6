#include "core/catalogue.h"
#include "core/driveentry.h"

#include <gtest/gtest.h>

using namespace core;

TEST(DriveEntry, SizeTextUsesDecimalUnitsAndHalfToEven)
{
    EXPECT_EQ(SizeText(999999999ULL), "999 MB");
    EXPECT_EQ(SizeText(1000000000ULL), "1 GB");
    EXPECT_EQ(SizeText(1400000000ULL), "2 GB");
    EXPECT_EQ(SizeText(2400000000ULL), "2 GB");
    EXPECT_EQ(SizeText(3400000000ULL), "4 GB");
    EXPECT_EQ(SizeText(31914983424ULL), "32 GB");
    EXPECT_EQ(SizeText(67108864ULL), "67 MB");
}

TEST(DriveEntry, TextFieldsAndSelection)
{
    EXPECT_EQ(EntryText("sdb1", "EOS_DIGITAL", "FAT32", 31914983424ULL), "sdb1: EOS_DIGITAL [FAT32] 32 GB");
    const std::string unnamed = EntryText("sdc1", "", "exFAT", 500000000ULL);
    EXPECT_EQ(unnamed, "sdc1: Removable Disk [exFAT] 500 MB");
    EXPECT_EQ(EntryVolumeName(unnamed), "sdc1");
    EXPECT_EQ(EntryLabel("loop3: A [B] [FAT] 1 GB"), "A [B]");

    EXPECT_EQ(ChooseEntry({}), -1);
    EXPECT_EQ(ChooseEntry({"sde1: EOS_DIGITAL [FAT32] 8 GB"}), 0);
    EXPECT_EQ(ChooseEntry({"sde1: NO NAME [FAT32] 8 GB", "sdf1: EOS_DIGITAL [FAT32] 8 GB"}), 1);
    EXPECT_EQ(ChooseEntry({"sde1: CANON_DC [FAT] 1 GB", "sdf1: Removable Disk [FAT] 1 GB"}), 0);
    EXPECT_EQ(ChooseEntry({"sde1: X [FAT] 1 GB", "sdf1: CANON_DC [FAT] 1 GB", "sdg1: EOS_DIGITAL2 [FAT] 1 GB"}), 2);
    EXPECT_EQ(ChooseEntry({"sde1: eos_digital [FAT] 1 GB", "sdf1: X [FAT] 1 GB"}), 0);  // case counts
    EXPECT_EQ(ChooseEntry({"sde1: X [FAT] 1 GB", "sdf1: eos_digital [FAT] 1 GB"}), 0);
    EXPECT_TRUE(IsCardFileSystem("exFAT"));
    EXPECT_FALSE(IsCardFileSystem("FAT12"));
    EXPECT_FALSE(IsCardFileSystem("ntfs"));
}

TEST(Catalogue, ParsesLinesAndSkipsShortOnes)
{
    auto builds = ParseCatalogue("A;http://h/a.zip;2020.01.01 10:00:00;extra\r\n\r\nbad;line\nB;;\rC;u;s\n");
    ASSERT_EQ(builds.size(), 3u);
    EXPECT_EQ(builds[0].name, "A");
    EXPECT_EQ(builds[0].url, "http://h/a.zip");
    EXPECT_EQ(builds[0].stamp, "2020.01.01 10:00:00");
    EXPECT_EQ(builds[1].name, "B");
    EXPECT_EQ(builds[1].url, "");
    EXPECT_EQ(builds[2].stamp, "s");
    EXPECT_TRUE(ParseCatalogue("").empty());
    EXPECT_TRUE(ReadCatalogueFile("/nonexistent/develop.inf").empty());

    EXPECT_EQ(RememberedIndex(builds, "c"), 2);
    EXPECT_EQ(RememberedIndex(builds, "gone"), 0);
    EXPECT_EQ(RememberedIndex({}, "A"), -1);
}

TEST(Catalogue, ArchiveCurrencyComparesTexts)
{
    EXPECT_TRUE(ArchiveIsCurrent("2020.01.01 10:00:00", "2020.01.01 10:00:00"));
    EXPECT_TRUE(ArchiveIsCurrent("2020.01.02", "2020.01.01 23:59:58"));
    EXPECT_FALSE(ArchiveIsCurrent("2020.01.01", "2020.01.01 00:00:02"));  // a prefix is smaller
    EXPECT_FALSE(ArchiveIsCurrent("2019.12.31 23:59:58", "2020.01.01"));
    EXPECT_FALSE(ArchiveIsCurrent("", ""));  // a missing archive is never current
}
