// flintor-cli killed (SIGKILL) at points spread over every step of install,
// set and remove on FAT32 (fusefat) and exFAT (exfat-fuse) loop cards: after
// the next start the card must be as before or as after the command, byte for
// byte in the boot region and file for file, and fsck must find it clean.
// A preloaded library (tests/support/killshim.c) counts the calls that change
// the card, its mount and the journal folder and kills before the chosen one.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "support/cardfiles.h"
#include "support/loopcard.h"

namespace fs = std::filesystem;
using testsupport::LoopCard;

namespace {

constexpr size_t kRegion = 24 * 512;
constexpr int kKillPoints = 10;
constexpr char kStepLimit[] = "60";  // seconds; fusefat has been seen to spin in an unlink
// timeout passes a signal that ended its program on to itself, so
// RunCommand sees the program's SIGKILL as -1; 124 is the time limit.
constexpr int kKilled = -1, kTimedOut = 124;

struct State {
    std::vector<uint8_t> region;
    testsupport::Tree files;
    bool operator==(const State& o) const { return region == o.region && files == o.files; }
};

class KillPoints : public ::testing::TestWithParam<const char*> {
protected:
    std::string fsType;
    LoopCard card;
    std::string cache, zip;

    void SetUp() override
    {
        FLINTOR_REQUIRE_LOOP_AND_FUSE();
        fsType = GetParam();
        ASSERT_TRUE(card.Create({.fsType = fsType, .label = "EOS_DIGITAL", .sizeBytes = 40ull << 20})) << card.error();
        ASSERT_TRUE(card.Mount()) << card.error();
        cache = card.folder() + "/cache";
        zip = card.folder() + "/build.zip";
        const std::string root = card.mountPoint();
        testsupport::WriteWhole(root + "/ML/SETTINGS/MAGIC.CFG", "the user's own settings");
        testsupport::WriteWhole(root + "/ML/MODULES/BIG.MO", std::string(3000, 'o'));
        testsupport::WriteWhole(root + "/DCIM/100CANON/IMG_0001.JPG", std::string(20000, 'p'));
        std::vector<std::pair<std::string, std::string>> build = {{"autoexec.bin", std::string(40000, 'A')},
                                                                  {"ML/SETTINGS/magic.cfg", "the build's settings"},
                                                                  {"ML/MODULES/big.mo", std::string(60000, 'n')},
                                                                  {"ML/DOC/a..b.txt", "dots"},
                                                                  {"ML/CROPMKS/", ""}};
        for (char m = 'A'; m <= 'F'; ++m)
            build.push_back({"ML/MODULES/" + std::string(1, m) + ".MO", std::string(5000, m)});
        ASSERT_TRUE(testsupport::MakeZip(zip, build));
    }

    // The boot region without what the mounted driver keeps there of its own
    // (exFAT's volume flags and use percentage, FAT32's FSInfo sectors with
    // the free-cluster count), and the files as the mount shows them.
    State Read()
    {
        EXPECT_TRUE(card.Mount()) << card.error();
        State s{card.ReadDevice(0, kRegion), testsupport::TreeOf(card.mountPoint())};
        std::vector<size_t> driverBytes = {106, 107, 112, 12 * 512 + 106, 12 * 512 + 107, 12 * 512 + 112};
        if (fsType == "FAT32") {
            driverBytes.clear();
            for (size_t sector : {size_t{1}, size_t{7}})  // FSInfo and its copy, as mkfs places them
                for (size_t at = 0; at < 512; ++at)
                    driverBytes.push_back(sector * 512 + at);
        }
        for (size_t at : driverBytes)
            if (at < s.region.size())
                s.region[at] = 0;
        return s;
    }

    std::vector<uint8_t> Volume() { return card.ReadDevice(0, static_cast<size_t>(card.volumeSize())); }

    // Puts the volume's bytes back and mounts it.
    void Restore(const std::vector<uint8_t>& image)
    {
        ASSERT_TRUE(card.Unmount() && card.WriteDevice(0, image) && card.Mount()) << card.error();
        fs::remove_all(cache + "/flintor001/journal");
    }

    // flintor-cli under a time limit; killAt >= 0 preloads the kill library.
    int Cli(const std::vector<std::string>& args, long killAt, std::string* output, const std::string& logFile = "")
    {
        std::vector<std::string> argv = {"timeout", kStepLimit, "env", "XDG_CACHE_HOME=" + cache};
        if (killAt >= 0) {
            const char* asan = std::getenv("ASAN_OPTIONS");
            argv.insert(argv.end(), {"LD_PRELOAD=" FLINTOR_KILLSHIM,
                                     "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0",
                                     "FLINTOR_KILL_PATHS=" + card.device() + ":" + card.mountPoint() + ":" + cache +
                                         "/flintor001/journal",
                                     "FLINTOR_KILL_AT=" + std::to_string(killAt), "FLINTOR_KILL_LOG=" + logFile});
        }
        argv.insert(argv.end(), {FLINTOR_CLI, "--include-loop", "--backend", "direct"});
        argv.insert(argv.end(), args.begin(), args.end());
        const int status = testsupport::RunCommand(argv, output);
        if (status == kTimedOut) {
            // A driver that spins holds the device: end it by its pid.
            for (int pid : testsupport::DeviceHolders(card.device()))
                kill(pid, SIGKILL);
            ADD_FAILURE() << "flintor-cli " << args.front() << " did not end within " << kStepLimit << " s";
        }
        return status;
    }

    // One command: counted once to the end, then killed at points spread
    // over its count; each time the next start must settle the card.
    void Run(const std::string& op, const std::vector<std::string>& args)
    {
        const std::vector<uint8_t> image = Volume();
        const State before = Read();
        const std::string logFile = card.folder() + "/calls";
        fs::remove(logFile);
        std::string output;
        ASSERT_EQ(Cli(args, 0, &output, logFile), 0) << output;
        const State after = Read();
        ASSERT_FALSE(after == before) << op << " changed nothing";
        ASSERT_TRUE(card.Unmount()) << card.error();
        ASSERT_EQ(testsupport::FsckProblems(fsType, card.device()), "") << op << " without a kill";
        const std::vector<uint8_t> afterImage = Volume();
        std::vector<std::string> calls;  // "call path", the path below the card's folder
        std::ifstream log(logFile);
        for (std::string line; std::getline(log, line);)
            calls.push_back(std::regex_replace(line.substr(line.find(' ') + 1), std::regex(card.folder() + "/"), ""));
        const long count = static_cast<long>(calls.size());
        ASSERT_GE(count, kKillPoints) << op;

        const auto name = [&](const State& s) { return s == before ? "before" : s == after ? "after" : "partial"; };
        for (int i = 0; i < kKillPoints; ++i) {
            const long at = 1 + static_cast<long>(i) * (count - 1) / (kKillPoints - 1);
            Restore(image);
            std::string killed, restart;
            const int status = Cli(args, at, &killed);
            const State found = Read();
            Cli({"list"}, -1, &restart);
            const State settled = Read();
            ASSERT_TRUE(card.Unmount()) << card.error();
            const std::string fsck = testsupport::FsckProblems(fsType, card.device());
            const std::string& call = calls[static_cast<size_t>(at) - 1];
            std::printf("%-6s %-8s %4ld/%-4ld %-44.44s %-8s -> %s\n", fsType.c_str(), op.c_str(), at, count,
                        call.c_str(), name(found), name(settled));
            EXPECT_EQ(status, kKilled) << op << " at " << at << " was not killed: " << killed;
            EXPECT_TRUE(settled == before || settled == after)
                << op << " killed at " << at << " (" << call << ") left a card that the next start did not settle:\n"
                << restart;
            EXPECT_EQ(fsck, "") << op << " killed at " << at;
            if (!(found == settled)) {
                EXPECT_NE(restart.find("cut short"), std::string::npos)
                    << "the next start changed the card without saying so: " << restart;
            }
        }
        Restore(afterImage);
    }
};

TEST_P(KillPoints, EveryStepOfInstallSetAndRemoveLeavesBeforeOrAfter)
{
    Run("install", {"install", card.name(), "--build", zip});
    Run("set", {"set", card.name(), "--preset", "ml"});
    Run("remove", {"remove", card.name(), "--yes"});
}

INSTANTIATE_TEST_SUITE_P(Cards, KillPoints, ::testing::Values("FAT32", "exFAT"));

}  // namespace
