// Kernel names and the loop devices that serve an image file, over a sysfs
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

TEST(Sysfs, PlainKernelNamesAndTheirOrder)
{
    for (const char* n : {"sdb1", "mmcblk0p1", "loop3", "nvme0n1p2"})
        EXPECT_TRUE(ld::IsPlainKernelName(n)) << n;
    for (const char* n : {"", "../etc", "sd/b", ".", "sdb 1", "loop0\n"})
        EXPECT_FALSE(ld::IsPlainKernelName(n)) << n;
    EXPECT_TRUE(ld::NameLess("loop9", "loop10"));
    EXPECT_TRUE(ld::NameLess("sdb2", "sdb10"));
    EXPECT_FALSE(ld::NameLess("sdb10", "sdb2"));
    EXPECT_TRUE(ld::NameLess("sdb", "sdb1"));
    EXPECT_EQ(ld::DeviceList({"loop5", "loop7"}), "/dev/loop5, /dev/loop7");
}

class LoopBacking : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/flintor-sysfsXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        fs::create_directories(dir_ + "/files");
        fs::create_directories(dir_ + "/block");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string File(const std::string& name)
    {
        const std::string path = dir_ + "/files/" + name;
        std::ofstream(path) << name;
        return path;
    }
    // A device folder as sysfs shows it; an empty backing path: not attached.
    void Device(const std::string& name, const std::string& backing)
    {
        fs::create_directories(dir_ + "/block/" + name);
        if (backing.empty())
            return;
        fs::create_directories(dir_ + "/block/" + name + "/loop");
        std::ofstream(dir_ + "/block/" + name + "/loop/backing_file") << backing << "\n";
    }
    static ld::FileId Id(const std::string& path)
    {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    }
    std::string dir_;
};

TEST_F(LoopBacking, DevicesServingAFileByDeviceAndInode)
{
    const std::string image = File("card.img");
    const std::string other = File("other.img");
    Device("loop0", image);
    Device("loop1", other);
    Device("loop10", image);
    Device("loop2", image + " (deleted)");  // a file deleted since it was attached
    Device("loop3", "");                    // nothing attached
    Device("sda", image);                   // not a loop device
    Device("loop5", image);                 // says itself that it serves another file
    Device("loop6", "");                    // says itself that it serves the image
    // A device that can be asked counts over the path it shows.
    const std::map<std::string, ld::FileId> answers = {{"loop5", Id(other)}, {"loop6", Id(image)}};
    const ld::LoopBackingQuery ask = [&](const std::string& name, ld::FileId* out) {
        const auto it = answers.find(name);
        if (it == answers.end())
            return false;
        *out = it->second;
        return true;
    };
    EXPECT_EQ(ld::LoopDevicesServing(dir_ + "/block", Id(image), ask),
              (std::vector<std::string>{"loop0", "loop6", "loop10"}));
    EXPECT_EQ(ld::LoopDevicesServing(dir_ + "/block", Id(other), ask), (std::vector<std::string>{"loop1", "loop5"}));
    EXPECT_TRUE(ld::LoopDevicesServing(dir_ + "/block", Id(File("alone.img")), ask).empty());
    EXPECT_TRUE(ld::LoopDevicesServing(dir_ + "/nothing-here", Id(image), ask).empty());
    // With no device that can be asked, the paths alone decide.
    EXPECT_EQ(ld::LoopDevicesServing(dir_ + "/block", Id(image), nullptr),
              (std::vector<std::string>{"loop0", "loop5", "loop10"}));
}

}  // namespace
