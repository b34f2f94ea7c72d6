// Free clusters counted from FAT12/16/32 tables and the exFAT allocation
// bitmap of mkfs-made images, against what fsck.fat and dump.exfat count; the
// FAT images are filled with mtools, without any mount.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <regex>

#include "cardops/freespace.h"
#include "support/cardfiles.h"
#include "support/loopcard.h"

namespace {

cardops::SectorReader ImageReader(const std::string& image)
{
    return [image](uint64_t first, uint32_t count, uint8_t* buffer) {
        std::ifstream in(image, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(first * 512));
        in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count) * 512);
        return static_cast<size_t>(in.gcount()) == static_cast<size_t>(count) * 512;
    };
}

TEST(FreeSpace, CountsMatchFsckFatAndDumpExfat)
{
    char folder[] = "/tmp/flintor-freespace-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string dir = folder;
    testsupport::WriteWhole(dir + "/file.bin", std::string(10000, 'f'));
    struct Case {
        std::string fs, size;
        int sectors;  // per cluster
        int files;    // files of 10 000 bytes written with mcopy
    };
    for (const Case& c :
         {Case{"12", "4M", 2, 7}, Case{"16", "20M", 4, 40}, Case{"32", "40M", 1, 25}, Case{"exFAT", "40M", 16, 0}}) {
        const std::string image = dir + "/" + c.fs + ".img", clusters = std::to_string(c.sectors);
        ASSERT_EQ(testsupport::RunCommand({"truncate", "-s", c.size, image}), 0);
        ASSERT_EQ(testsupport::RunCommand(
                      c.fs == "exFAT" ? std::vector<std::string>{"mkfs.exfat", "-c", "8K", image}
                                      : std::vector<std::string>{"mkfs.fat", "-F", c.fs, "-s", clusters, image}),
                  0);
        for (int i = 0; i < c.files; ++i)
            ASSERT_EQ(std::system(("MTOOLS_SKIP_CHECK=1 mcopy -i " + image + " " + dir + "/file.bin ::/F" +
                                   std::to_string(i) + ".BIN")
                                      .c_str()),
                      0);
        // fsck.fat: "N files, USED/TOTAL clusters"; dump.exfat: "Total Clusters", "Free Clusters".
        std::string report;
        testsupport::RunCommand({c.fs == "exFAT" ? "dump.exfat" : "fsck.fat", "-n", "-v", image}, &report);
        if (c.fs == "exFAT")
            testsupport::RunCommand({"dump.exfat", image}, &report);
        std::smatch m;
        uint64_t total = 0, free = 0;
        if (std::regex_search(report, m, std::regex(R"((\d+)/(\d+) clusters)"))) {
            total = std::stoull(m[2]);
            free = total - std::stoull(m[1]);
        } else if (std::regex_search(report, m, std::regex(R"(Total Clusters:\s+(\d+)[^]*Free Clusters:\s+(\d+))"))) {
            total = std::stoull(m[1]);
            free = std::stoull(m[2]);
        }
        ASSERT_GT(total, 0u) << report;
        cardops::FreeClusters counted;
        std::string why;
        ASSERT_TRUE(cardops::CountFreeClusters(ImageReader(image), &counted, &why)) << c.fs << ": " << why;
        EXPECT_EQ(counted.totalClusters, total) << c.fs;
        EXPECT_EQ(counted.freeClusters, free) << c.fs;
        EXPECT_EQ(counted.clusterBytes, 512u * c.sectors) << c.fs;
        EXPECT_GE((total - free) * counted.clusterBytes, c.files * 10000u) << "the files did not land on the image";
    }
    // Zeros are no volume; a reader that fails tells so.
    testsupport::WriteWhole(dir + "/zero.img", std::string(1 << 20, '\0'));
    std::string why;
    EXPECT_FALSE(cardops::CountFreeClusters(ImageReader(dir + "/zero.img"), nullptr, &why));
    EXPECT_FALSE(cardops::CountFreeClusters([](uint64_t, uint32_t, uint8_t*) { return false; }, nullptr, &why));
    EXPECT_NE(why.find("cannot be read"), std::string::npos) << why;
    testsupport::RunCommand({"rm", "-rf", dir});
}

}  // namespace
