#include "core/catalogue.h"
#include "core/digest.h"
#include "core/driveentry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

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
    auto builds = ParseCatalogue(
        "A;http://h/a.zip;2020.01.01 "
        "10:00:00;;extra\r\n\r\nbad;line\nB;HTTPS://h/b.zip;2019.02.03\rC;https://h/c;2021.12.31 23:59:58\n");
    ASSERT_EQ(builds.size(), 3u);
    EXPECT_EQ(builds[0].name, "A");
    EXPECT_EQ(builds[0].url, "http://h/a.zip");
    EXPECT_EQ(builds[0].stamp, "2020.01.01 10:00:00");
    EXPECT_EQ(builds[0].sha256, "");  // an empty fourth field is no digest
    EXPECT_EQ(builds[1].name, "B");
    EXPECT_EQ(builds[1].url, "HTTPS://h/b.zip");
    EXPECT_EQ(builds[2].stamp, "2021.12.31 23:59:58");
    EXPECT_TRUE(ParseCatalogue("").empty());
    EXPECT_TRUE(ReadCatalogueFile("/nonexistent/develop.inf").empty());

    EXPECT_EQ(RememberedIndex(builds, "c"), 2);
    EXPECT_EQ(RememberedIndex(builds, "gone"), 0);
    EXPECT_EQ(RememberedIndex({}, "A"), -1);
}

TEST(Catalogue, LinesWithoutNameAddressOrReadableStampAreNoBuilds)
{
    // What a web server sends instead of a catalogue: an HTML page, even
    // one whose lines hold ";".
    EXPECT_TRUE(ParseCatalogue("<!DOCTYPE html>\n<html><head><title>x</title></head>\n"
                               "<body style=\"a;b;c\">x;y;z</body></html>\n")
                    .empty());
    const char* refused[] = {
        ";http://h/a.zip;2020.01.01",  // no name
        "A;;2020.01.01",               // no address
        "A;x;2020.01.01",              // not a web address
        "A;ftp://h/a.zip;2020.01.01",  // not http or https
        "A;file:///tmp/a.zip;2020.01.01",
        "A;http://;2020.01.01",  // no host
        "A;http:///a.zip;2020.01.01",
        "A;http://h/a.zip;",            // no stamp
        "A;http://h/a.zip;2020-01-01",  // other separators
        "A;http://h/a.zip;2020.13.01",  // month out of range
        "A;http://h/a.zip;2020.01.32",
        "A;http://h/a.zip;2020.01.01 24:00:00",
        "A;http://h/a.zip;2020.01.01 10:60:00",
        "A;http://h/a.zip;2020.01.01 10:00",  // time cut short
        "A;http://h/a.zip;2020.01.01 10:00:00 ",
        "A;http://h/a.zip;yesterday",
    };
    for (const char* line : refused)
        EXPECT_TRUE(ParseCatalogue(line).empty()) << line;
    EXPECT_TRUE(IsCatalogueStamp("2020.01.01 00:00:00"));
    EXPECT_TRUE(IsCatalogueStamp("1999.12.31"));
}

TEST(Catalogue, FourthFieldIsTheArchiveDigest)
{
    const std::string lower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    auto builds = ParseCatalogue("A;http://h/a.zip;2020.01.01;" + lower + "\nB;http://h/b.zip;2020.01.01;" + upper +
                                 ";later fields ignored\n");
    ASSERT_EQ(builds.size(), 2u);
    EXPECT_EQ(builds[0].sha256, lower);
    EXPECT_EQ(builds[1].sha256, lower);  // either letter case, kept in lower case
    // A digest that cannot be checked refuses its line; the others stay.
    const std::string malformed[] = {lower.substr(1), lower + "0", lower.substr(0, 63) + "g", "sha256:" + lower,
                                     " " + lower.substr(1)};
    for (const std::string& field : malformed) {
        builds = ParseCatalogue("A;http://h/a.zip;2020.01.01;" + field + "\nB;http://h/b.zip;2020.01.01\n");
        ASSERT_EQ(builds.size(), 1u) << field;
        EXPECT_EQ(builds[0].name, "B");
    }
}

TEST(Digest, Sha256OfBytesAndFiles)
{
    // Known answers of SHA-256.
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Sha256Hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    // A file longer than one read block, fed in pieces, gives the same digest
    // as the bytes at once.
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 % 256);
    const std::string path = testing::TempDir() + "/digest_test.bin";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
    }
    Sha256 pieces;
    for (size_t i = 0; i < data.size(); i += 1025)
        pieces.Update(data.data() + i, std::min<size_t>(1025, data.size() - i));
    const std::string whole = Sha256Hex(data.data(), data.size());
    EXPECT_EQ(FileSha256Hex(path), whole);
    EXPECT_EQ(pieces.FinalHex(), whole);
    std::remove(path.c_str());
    EXPECT_EQ(FileSha256Hex(path), "");  // gone: no digest, not the empty file's

    EXPECT_EQ(NormalizeSha256Hex("E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(NormalizeSha256Hex("xyz"), "");
}

TEST(Catalogue, ArchiveCurrencyComparesTexts)
{
    EXPECT_TRUE(ArchiveIsCurrent("2020.01.01 10:00:00", "2020.01.01 10:00:00"));
    EXPECT_TRUE(ArchiveIsCurrent("2020.01.02", "2020.01.01 23:59:58"));
    EXPECT_FALSE(ArchiveIsCurrent("2020.01.01", "2020.01.01 00:00:02"));  // a prefix is smaller
    EXPECT_FALSE(ArchiveIsCurrent("2019.12.31 23:59:58", "2020.01.01"));
    EXPECT_FALSE(ArchiveIsCurrent("", ""));  // a missing archive is never current
}
