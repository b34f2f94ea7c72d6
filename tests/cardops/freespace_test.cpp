// Free clusters counted from FAT12/16/32 tables and the exFAT allocation
// bitmap of mkfs-made images, compared with what fsck.fat and dump.exfat
// count; the FAT images are filled with mtools, without any mount.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "cardops/freespace.h"
#include "support/cardfiles.h"

namespace fs = std::filesystem;

namespace {

std::string Output(const std::string& command)
{
    std::string out;
    if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        pclose(p);
    }
    return out;
}

cardops::SectorReader ImageReader(const std::string& image)
{
    return [image](uint64_t first, uint32_t count, uint8_t* buffer) {
        std::ifstream in(image, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(first * 512));
        in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count) * 512);
        return static_cast<size_t>(in.gcount()) == static_cast<size_t>(count) * 512;
    };
}

class FreeSpace : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override
    {
        char tmpl[] = "/tmp/flintor-freespace-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
};

TEST_F(FreeSpace, FatCountsMatchFsckAfterFilesWereWritten)
{
    struct Case {
        const char* fat;
        const char* size;
        int sectors;  // per cluster
        int files;    // files of 10 000 bytes written with mcopy
    };
    for (const Case& c : {Case{"12", "4M", 2, 7}, Case{"16", "20M", 4, 40}, Case{"32", "40M", 1, 25}}) {
        const std::string image = (dir / ("fat" + std::string(c.fat) + ".img")).string();
        ASSERT_EQ(std::system(("truncate -s " + std::string(c.size) + " " + image + " && mkfs.fat -F " + c.fat +
                               " -s " + std::to_string(c.sectors) + " " + image + " >/dev/null 2>&1")
                                  .c_str()),
                  0);
        testsupport::WriteWhole((dir / "file.bin").string(), std::string(10000, 'f'));
        for (int i = 0; i < c.files; ++i)
            ASSERT_EQ(std::system(("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + " " + (dir / "file.bin").string() +
                                   " ::/F" + std::to_string(i) + ".BIN")
                                      .c_str()),
                      0);
        // fsck.fat: "NAME: N files, USED/TOTAL clusters"
        const std::string report = Output("fsck.fat -n -v " + image);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(report, m, std::regex(R"((\d+)/(\d+) clusters)"))) << report;
        const uint64_t used = std::stoull(m[1]), total = std::stoull(m[2]);

        cardops::FreeClusters counted;
        std::string why;
        ASSERT_TRUE(cardops::CountFreeClusters(ImageReader(image), &counted, &why)) << "FAT" << c.fat << ": " << why;
        EXPECT_EQ(counted.totalClusters, total) << "FAT" << c.fat;
        EXPECT_EQ(counted.freeClusters, total - used) << "FAT" << c.fat;
        EXPECT_EQ(counted.clusterBytes, 512u * c.sectors) << "FAT" << c.fat;
        EXPECT_GE(used * counted.clusterBytes, c.files * 10000u) << "the files did not land on the image";
    }
}

TEST_F(FreeSpace, ExFatCountMatchesDumpExfat)
{
    const std::string image = (dir / "exfat.img").string();
    ASSERT_EQ(std::system(("truncate -s 40M " + image + " && mkfs.exfat -c 8K " + image + " >/dev/null").c_str()), 0);
    const std::string report = Output("dump.exfat " + image);
    std::smatch total, free;
    ASSERT_TRUE(std::regex_search(report, total, std::regex(R"(Total Clusters:\s+(\d+))"))) << report;
    ASSERT_TRUE(std::regex_search(report, free, std::regex(R"(Free Clusters:\s+(\d+))"))) << report;
    cardops::FreeClusters counted;
    std::string why;
    ASSERT_TRUE(cardops::CountFreeClusters(ImageReader(image), &counted, &why)) << why;
    EXPECT_EQ(counted.totalClusters, std::stoull(total[1]));
    EXPECT_EQ(counted.freeClusters, std::stoull(free[1]));
    EXPECT_EQ(counted.clusterBytes, 8192u);
}

TEST_F(FreeSpace, WhatIsNoFatOrExFatVolumeIsNotCounted)
{
    const std::string image = (dir / "zero.img").string();
    testsupport::WriteWhole(image, std::string(1 << 20, '\0'));
    cardops::FreeClusters counted;
    std::string why;
    EXPECT_FALSE(cardops::CountFreeClusters(ImageReader(image), &counted, &why));
    EXPECT_FALSE(why.empty());
    // A reader that fails tells so.
    EXPECT_FALSE(cardops::CountFreeClusters([](uint64_t, uint32_t, uint8_t*) { return false; }, &counted, &why));
    EXPECT_NE(why.find("cannot be read"), std::string::npos) << why;
}

}  // namespace
