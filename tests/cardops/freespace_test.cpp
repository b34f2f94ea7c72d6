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
    const std::string dir = folder, image = dir + "/card.img";
    testsupport::WriteWhole(dir + "/file.bin", std::string(10000, 'f'));
    // The image, made and filled (mcopy writes 10 000-byte files), and its cluster size.
    const std::string fill =
        " && for i in $(seq N); do MTOOLS_SKIP_CHECK=1 mcopy -i I " + dir + "/file.bin ::/F$i; done";
    for (auto [make, clusterBytes] : {std::pair{"truncate -s 4M I && mkfs.fat -F 12 -s 2 I" + fill, 1024},
                                      {"truncate -s 20M I && mkfs.fat -F 16 -s 4 I" + fill, 2048},
                                      {"truncate -s 40M I && mkfs.fat -F 32 -s 1 I" + fill, 512},
                                      {"truncate -s 40M I && mkfs.exfat -c 8K I", 8192}}) {
        make = std::regex_replace(std::regex_replace(make, std::regex("\\bI\\b"), image), std::regex("\\bN\\b"), "30");
        ASSERT_EQ(std::system(("rm -f " + image + " && " + make + " >/dev/null 2>&1").c_str()), 0) << make;
        // fsck.fat: "N files, USED/TOTAL clusters"; dump.exfat: "Total Clusters: T ... Free Clusters: F".
        std::string report, dumped;
        testsupport::RunCommand({"fsck.fat", "-n", "-v", image}, &report);
        testsupport::RunCommand({"dump.exfat", image}, &dumped);
        report += dumped;
        std::smatch m;
        uint64_t total = 0, free = 0;
        if (std::regex_search(report, m, std::regex(R"((\d+)/(\d+) clusters)")))
            total = std::stoull(m[2]), free = total - std::stoull(m[1]);
        else if (std::regex_search(report, m, std::regex(R"(Total Clusters:\s+(\d+)[^]*Free Clusters:\s+(\d+))")))
            total = std::stoull(m[1]), free = std::stoull(m[2]);
        cardops::FreeClusters counted;
        std::string why;
        ASSERT_TRUE(cardops::CountFreeClusters(ImageReader(image), &counted, &why)) << make << ": " << why;
        EXPECT_EQ(counted.totalClusters, total) << make << report;
        EXPECT_EQ(counted.freeClusters, free) << make;
        EXPECT_EQ(counted.clusterBytes, static_cast<uint64_t>(clusterBytes)) << make;
    }
    // Zeros are no volume; a reader that fails tells so.
    testsupport::WriteWhole(image, std::string(1 << 20, '\0'));
    std::string why;
    EXPECT_FALSE(cardops::CountFreeClusters(ImageReader(image), nullptr, &why));
    EXPECT_FALSE(cardops::CountFreeClusters([](uint64_t, uint32_t, uint8_t*) { return false; }, nullptr, &why));
    EXPECT_NE(why.find("cannot be read"), std::string::npos) << why;
    testsupport::RunCommand({"rm", "-rf", dir});
}

}  // namespace
