// flintor-cli on a real exFAT card: a loop device mounted through FUSE, reached by
// its kernel name with --include-loop and no --root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/loopcard.h"

namespace fs = std::filesystem;

namespace {

std::string Cli(const std::vector<std::string>& args, int* status)
{
    std::vector<std::string> argv = {FLINTOR_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string out;
    *status = testsupport::RunCommand(argv, &out);
    return out;
}

}  // namespace

TEST(CliOnLoopCard, SetThenInstallOntoAMountedCard)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "EOS_DIGITAL"})) << card.error();
    ASSERT_TRUE(card.Mount()) << card.error();
    const std::string folder = card.folder();
    setenv("XDG_CACHE_HOME", (folder + "/cache").c_str(), 1);
    const std::string zip = folder + "/build.zip";
    int status = -1;
    std::string out;
    ASSERT_EQ(
        testsupport::RunCommand({"python3", "-c",
                                 "import sys, zipfile\n"
                                 "z = zipfile.ZipFile(sys.argv[1], 'w')\n"
                                 "z.writestr('autoexec.bin', b'\\0' * 8 + b'Magic Lantern loop\\0' + b'\\0' * 300)\n"
                                 "z.writestr('ML/modules/a.mo', b'module')\n"
                                 "z.close()\n",
                                 zip},
                                &out),
        0)
        << out;

    // The mount is visible and holds no start file: Magic Lantern markers are refused.
    out = Cli({"--include-loop", "set", card.name(), "--preset", "ml"}, &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("autoexec.bin"), std::string::npos) << out;
    const std::vector<uint8_t> untouched = card.ReadDevice(0x82, 11);
    EXPECT_NE(std::string(untouched.begin(), untouched.end()), "EOS_DEVELOP");

    out = Cli({"--include-loop", "install", card.name(), "--build", zip}, &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ML succesfully installed"), std::string::npos) << out;

    out = Cli({"--include-loop", "set", card.name(), "--preset", "ml"}, &status);
    ASSERT_EQ(status, 0) << out;
    const std::vector<uint8_t> label = card.ReadDevice(0x82, 11);
    EXPECT_EQ(std::string(label.begin(), label.end()), "EOS_DEVELOP");
    const std::vector<uint8_t> boot = card.ReadDevice(0x7A, 8);
    EXPECT_EQ(std::string(boot.begin(), boot.end()), "BOOTDISK");

    // The files are on the card: mount it again and look.
    ASSERT_TRUE(card.Unmount()) << card.error();
    ASSERT_TRUE(card.Mount()) << card.error();

    // The image file itself, with the mount of its loop device given as its
    // root: the loop device keeps its own copy of the sectors and the FUSE
    // driver would write its own boot sector back, so nothing is written.
    // The mounted driver itself keeps its state in the volume flags and use
    // percentage (bytes 106, 107 and 112), when it likes; those are left out.
    const auto withoutDriverState = [](std::vector<uint8_t> sector) {
        for (size_t at : {size_t{106}, size_t{107}, size_t{112}})
            if (at < sector.size())
                sector[at] = 0;
        return sector;
    };
    const std::vector<uint8_t> before = withoutDriverState(card.ReadImage(0, 512));
    out = Cli({"--root", card.mountPoint(), "set", card.imagePath(), "--preset", "none"}, &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("attached as " + card.diskDevice()), std::string::npos) << out;
    EXPECT_EQ(withoutDriverState(card.ReadImage(0, 512)), before);
    bool found = false;
    for (const auto& entry : fs::directory_iterator(card.mountPoint()))
        if (entry.path().filename().string() == "AUTOEXEC.BIN" || entry.path().filename().string() == "autoexec.bin")
            found = true;
    EXPECT_TRUE(found);

    // An image mounted by a FUSE driver straight from the file, no loop
    // device: that driver's copy of the boot sector would undo the write.
    const std::string image = card.folder() + "/fat.img";
    const std::string direct = card.folder() + "/direct";
    fs::create_directory(direct);
    std::ofstream(image).close();
    fs::resize_file(image, 40 << 20);
    ASSERT_EQ(testsupport::RunCommand({"mkfs.fat", "-F", "32", "-n", "DIRECT", image}, &out), 0) << out;
    ASSERT_EQ(testsupport::RunCommand({"fusefat", "-o", "rw+", image, direct}, &out), 0) << out;
    out = Cli({"--root", direct, "set", image, "--preset", "chdk"}, &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("through FUSE"), std::string::npos) << out;
    EXPECT_EQ(testsupport::RunCommand({"fusermount", "-u", direct}, &out), 0) << out;
}
