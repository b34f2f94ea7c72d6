// Kernel names, and the loop devices that serve an image file, over a sysfs
// block folder made for the test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/linux/sysfs_linux.h"

namespace {

namespace ld = platform::linux_detail;
namespace fs = std::filesystem;

TEST(Sysfs, PlainKernelNames)
{
    for (const char* n : {"sdb1", "mmcblk0p1", "loop3", "nvme0n1p2"})
        EXPECT_TRUE(ld::IsPlainKernelName(n)) << n;
    for (const char* n : {"", "../etc", "sd/b", ".", "sdb 1", "loop0\n"})
        EXPECT_FALSE(ld::IsPlainKernelName(n)) << n;
}

ld::FileId Id(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

TEST(Sysfs, LoopDevicesServingAFileByDeviceAndInode)
{
    char tmpl[] = "/tmp/flintor-sysfsXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl, image = dir / "card.img", other = dir / "other.img";
    std::ofstream(image) << "card";
    std::ofstream(other) << "other";
    // The backing file's path each device shows ("": nothing attached). loop2's
    // file was deleted since; sda is no loop device; loop5 and loop6 are asked.
    const std::map<std::string, std::string> shown = {
        {"loop0", image}, {"loop1", other}, {"loop10", image}, {"loop2", image.string() + " (deleted)"},
        {"loop3", ""},    {"sda", image},   {"loop5", image},  {"loop6", ""}};
    for (const auto& [name, path] : shown) {
        fs::create_directories(dir / "block" / name / "loop");
        if (!path.empty())
            std::ofstream(dir / "block" / name / "loop" / "backing_file") << path << "\n";
    }
    // What the devices that can be asked say, which counts over the path shown.
    const std::map<std::string, ld::FileId> answers = {{"loop5", Id(other)}, {"loop6", Id(image)}};
    const ld::LoopBackingQuery ask = [&](const std::string& name, ld::FileId* out) {
        const auto it = answers.find(name);
        if (it == answers.end())
            return false;
        *out = it->second;
        return true;
    };
    const std::string block = (dir / "block").string();
    using Names = std::vector<std::string>;
    EXPECT_EQ(ld::LoopDevicesServing(block, Id(image), ask), (Names{"loop0", "loop6", "loop10"}));
    EXPECT_EQ(ld::LoopDevicesServing(block, Id(other), ask), (Names{"loop1", "loop5"}));
    // Without a device that can be asked, the paths alone decide.
    EXPECT_EQ(ld::LoopDevicesServing(block, Id(image), nullptr), (Names{"loop0", "loop5", "loop10"}));
    EXPECT_TRUE(ld::LoopDevicesServing((dir / "none").string(), Id(image), ask).empty());
    fs::remove_all(dir);
}

}  // namespace
