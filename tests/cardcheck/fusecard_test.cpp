// The check on real block devices: loop devices over FUSE cards that claim
// more than they keep, or are slow. Needs root, loop devices and FUSE.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cardcheck/cardcheck.h"
#include "cardcheck/journal.h"
#include "fusecard.h"
#include "loopcard.h"
#include "platform/cardaccess.h"

extern char** environ;

namespace {

constexpr uint64_t MiB = 1ull << 20;

using testsupport::FuseCard;
using testsupport::FuseCardOptions;

// flintor-cli as a user runs it, with its work folder in the card's folder.
int Cli(const FuseCard& card, const std::vector<std::string>& args, std::string* out, std::string* err = nullptr)
{
    std::vector<std::string> argv = {FLINTOR_CLI, "--backend", "direct", "--include-loop"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunWithEnv({"XDG_CACHE_HOME=" + card.folder()}, argv, out, err);
}

QJsonObject Json(const std::string& text)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

TEST(FuseCards, ReadQuickAndSpeedLeaveEveryByteAsItWas)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    struct Case {
        const char* what;
        FuseCardOptions card;
        int failStatus;  // quick and speed
    };
    const Case cases[] = {
        {"genuine", {128 * MiB, 0, "", 0}, 0},
        {"wraps at 64 of 256 MiB", {256 * MiB, 64 * MiB, "wrap", 0}, 3},
        {"drops past 96 of 256 MiB", {256 * MiB, 96 * MiB, "drop", 0}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FuseCard card;
        ASSERT_TRUE(card.Start(FLINTOR_FUSECARD_PY, c.card)) << card.error();
        const std::string before = card.StoreDigest();
        for (const std::string mode : {"read", "quick", "speed"}) {
            SCOPED_TRACE(mode);
            std::string out, err;
            const int status = Cli(card, {"check", card.name(), "--mode", mode, "--json"}, &out, &err);
            const QJsonObject r = Json(out);
            // The speed test's stretch lies in the fake part of a counterfeit
            // card, which does not keep what it is given: it fails too.
            EXPECT_EQ(status, mode == "read" ? 0 : c.failStatus) << out << err;
            EXPECT_EQ(card.StoreDigest(), before);
            std::printf("  %s, %s: %.1f s, %s\n", c.what, mode.c_str(), r["seconds"].toDouble(),
                        r["summary"].toString().toStdString().c_str());
            if (mode == "quick") {
                const double real = r["capacity"].toObject()["realBytes"].toDouble();
                const double expected = static_cast<double>(c.card.realBytes ? c.card.realBytes : c.card.claimBytes);
                EXPECT_NEAR(real, expected, MiB) << out;
            }
        }
        EXPECT_TRUE(cardcheck::ListJournals(card.folder() + "/flintor001/").empty());
    }
}

TEST(FuseCards, TenMegabytesASecondMeasuresWithinTenPercent)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    FuseCard card;
    ASSERT_TRUE(card.Start(FLINTOR_FUSECARD_PY, {128 * MiB, 0, "", 10e6})) << card.error();
    const std::string before = card.StoreDigest();
    platform::SetIncludeLoop(true);
    auto cards = platform::MakeAccess(platform::BackendChoice::Direct, nullptr);
    cardcheck::CheckRequest request;
    request.name = card.name();
    request.mode = cardcheck::Mode::Speed;
    request.workFolder = card.folder() + "/";
    request.options.burstBytes = 8 * MiB;
    request.options.measureSeconds = 3;
    const cardcheck::CheckResult r = cardcheck::RunCheck(*cards, request);
    ASSERT_EQ(r.outcome, cardcheck::Outcome::Passed) << r.error;
    EXPECT_TRUE(r.uncached);
    EXPECT_NEAR(r.speed.writeBytesPerSecond, 10e6, 1e6);
    EXPECT_NEAR(r.speed.readBytesPerSecond, 10e6, 1e6);
    std::printf("  10 MB/s card: write %.2f MB/s, read %.2f MB/s, %.1f s\n", r.speed.writeBytesPerSecond / 1e6,
                r.speed.readBytesPerSecond / 1e6, r.seconds);
    EXPECT_EQ(card.StoreDigest(), before);
}

TEST(FuseCards, KilledHalfWayTheNextStartPutsTheDataBack)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    FuseCard card;
    ASSERT_TRUE(card.Start(FLINTOR_FUSECARD_PY, {256 * MiB, 64 * MiB, "wrap", 20e6})) << card.error();
    const std::string before = card.StoreDigest();
    const std::string journals = card.folder() + "/flintor001/";
    // The check runs until its journal is there and writes have begun.
    std::vector<std::string> args = {"/usr/bin/env", "XDG_CACHE_HOME=" + card.folder(),
                                     FLINTOR_CLI,    "--backend",
                                     "direct",       "--include-loop",
                                     "check",        card.name()};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (cardcheck::ListJournals(journals).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (card.StoreDigest() == before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ASSERT_NE(card.StoreDigest(), before) << "the check was not killed half-way";
    ASSERT_EQ(cardcheck::ListJournals(journals).size(), 1u);

    std::string out, err;
    EXPECT_EQ(Cli(card, {"list"}, &out, &err), 0);
    EXPECT_NE(err.find("check " + card.name() + " --recover"), std::string::npos) << err;
    EXPECT_EQ(Cli(card, {"check", card.name(), "--recover"}, &out, &err), 0) << out << err;
    EXPECT_EQ(card.StoreDigest(), before);
    EXPECT_TRUE(cardcheck::ListJournals(journals).empty());
}

TEST(FuseCards, BusyCardIsRefusedNamingWhatHoldsIt)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    FuseCard card;
    ASSERT_TRUE(card.Start(FLINTOR_FUSECARD_PY, {64 * MiB, 0, "", 0})) << card.error();
    const std::string before = card.StoreDigest();
    std::vector<std::string> args = {"/usr/bin/python3", "-c",
                                     "import os, time; os.open('" + card.device() +
                                         "', os.O_RDONLY | os.O_EXCL); time.sleep(60)"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t holder = -1;
    ASSERT_EQ(posix_spawn(&holder, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    for (int i = 0; i < 100 && testsupport::DeviceHolders(card.device()).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string out, err;
    const int status = Cli(card, {"check", card.name(), "--mode", "quick"}, &out, &err);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(status, 1) << out << err;
    EXPECT_NE(out.find("python3 (pid " + std::to_string(holder) + ")"), std::string::npos) << out;
    EXPECT_NE(out.find("Nothing was written"), std::string::npos) << out;
    EXPECT_EQ(card.StoreDigest(), before);
}

}  // namespace
