// read, speed and full on simulated cards.
#include <gtest/gtest.h>

#include <filesystem>

#include "simcard.h"

using cardcheck::Mode;
using cardcheck::Outcome;
using cardcheck::RegionState;
using testsupport::Fake;
using testsupport::SimBench;
using testsupport::SimCardSpec;

namespace {

constexpr uint64_t MiB = 1ull << 20;

SimCardSpec Card(uint64_t claimed, uint64_t real = 0, Fake fake = Fake::None)
{
    SimCardSpec shape;
    shape.claimedBytes = claimed;
    shape.realBytes = real;
    shape.fake = fake;
    return shape;
}

// The bytes of the regions in a state.
uint64_t Bytes(const cardcheck::CheckResult& r, RegionState state)
{
    uint64_t total = 0;
    for (const cardcheck::Region& region : r.regions)
        total += region.state == state ? region.length : 0;
    return total;
}

TEST(ReadScan, FindsUnreadableRangesByAddressAndWritesNothing)
{
    SimCardSpec shape = Card(64 * MiB);
    shape.errorFrom = 10 * MiB + 1024;
    shape.errorTo = 10 * MiB + 5120;
    SimBench bench(shape);
    const cardcheck::CheckResult r = bench.Run(Mode::Read);
    EXPECT_EQ(r.outcome, Outcome::Failed);
    std::vector<cardcheck::Region> unreadable;
    for (const cardcheck::Region& region : r.regions)
        if (region.state == RegionState::Unreadable)
            unreadable.push_back(region);
    ASSERT_EQ(unreadable.size(), 1u);
    EXPECT_EQ(unreadable[0].offset, 10 * MiB + 1024);
    EXPECT_EQ(unreadable[0].length, 4096u);
    // The scan went on: the whole (small) card was read around it.
    EXPECT_EQ(Bytes(r, RegionState::Ok) + 4096, 64 * MiB);
    EXPECT_EQ(bench.card.bytesWritten, 0u);
    EXPECT_EQ(bench.cards.calls, std::vector<std::string>{"open r"});
}

TEST(ReadScan, SamplesALargeCardEvenly)
{
    SimBench bench(Card(64'021'856'256ull));
    const cardcheck::CheckResult r = bench.Run(Mode::Read);
    EXPECT_EQ(r.outcome, Outcome::Passed);
    ASSERT_EQ(r.samples.size(), 256u);
    EXPECT_EQ(r.samples.front().offset, 0u);
    EXPECT_GE(r.samples.back().offset + r.samples.back().length, 64'021'856'256ull - 4096);
    // 1 MiB at 40 MB/s after 0.2 ms.
    const double expected = MiB / (0.0002 + MiB / 40e6);
    EXPECT_NEAR(r.speed.readMedianBytesPerSecond, expected, expected * 0.001);
    EXPECT_EQ(r.bytesRead, 256 * MiB);
}

TEST(Speed, LeavesTheBurstBufferOutAndPutsTheCardBack)
{
    SimCardSpec shape = Card(4'000'000'000ull);
    shape.writeBytesPerSecond = 20e6;
    shape.burstBytes = 24 * MiB;
    SimBench bench(shape);
    cardcheck::CheckRequest request = bench.Request(Mode::Speed);
    request.options.burstBytes = 32 * MiB;
    request.options.measureSeconds = 5;
    request.neededBytesPerSecond = 25e6;
    const cardcheck::CheckResult r = cardcheck::RunCheck(bench.cards, request);
    ASSERT_TRUE(r.speed.tested) << r.error;
    EXPECT_EQ(r.speed.method, "device");
    EXPECT_NEAR(r.speed.writeBytesPerSecond, 20e6, 20e6 * 0.01);
    EXPECT_NEAR(r.speed.readBytesPerSecond, 40e6, 40e6 * 0.01);
    EXPECT_GE(r.speed.writeWindows.size(), 5u);
    EXPECT_EQ(r.speed.skippedBytes, 32 * MiB);
    // Slower than asked for: the card fails.
    EXPECT_EQ(r.outcome, Outcome::Failed);
    EXPECT_TRUE(r.restored);
    EXPECT_TRUE(bench.card.Unchanged());
    EXPECT_TRUE(bench.Journals().empty());
    ASSERT_FALSE(r.verdicts.empty());
    EXPECT_EQ(r.verdicts.front().verdicts, (std::vector<std::string>{"limited by the camera", "too slow"}));
}

TEST(Speed, ThroughFilesRemovesItsTestFile)
{
    SimBench bench(Card(64 * MiB));
    const std::string root = bench.workFolder + "card";
    std::filesystem::create_directories(root);
    bench.cards.volume.mountPoint = root;
    cardcheck::CheckRequest request = bench.Request(Mode::Speed);
    request.options.clock = nullptr;  // a real file, real time
    request.options.burstBytes = 4 * MiB;
    request.options.measureSeconds = 0.2;
    request.options.maxSpeedBytes = 16 * MiB;
    request.options.pieceBytes = MiB;
    bool stopAfterWrites = false;
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stopped" : "whole");
        cardcheck::Hooks hooks;
        hooks.cancelled = [&] { return stop && stopAfterWrites; };
        hooks.progress = [&](const cardcheck::Progress& p) { stopAfterWrites = p.fraction > 0.25; };
        const cardcheck::CheckResult r = cardcheck::RunCheck(bench.cards, request, hooks);
        EXPECT_EQ(r.outcome, stop ? Outcome::NotDone : Outcome::Passed) << r.error;
        if (!stop) {
            EXPECT_EQ(r.speed.method, "files");
            EXPECT_GT(r.speed.writeBytesPerSecond, 0);
        }
        EXPECT_TRUE(std::filesystem::is_empty(root));
        EXPECT_TRUE(bench.Journals().empty());
        EXPECT_EQ(bench.card.bytesWritten, 0u);
    }
}

TEST(FullTest, JudgesEveryUnitAndNeedsConsent)
{
    struct Case {
        const char* what;
        SimCardSpec shape;
        const char* verdict;
        RegionState fakeState;
    };
    const Case cases[] = {
        {"genuine", Card(64 * MiB), "genuine", RegionState::Ok},
        {"wraps", Card(64 * MiB, 16 * MiB, Fake::Wrap), "counterfeit", RegionState::Overwritten},
        {"drops", Card(64 * MiB, 24 * MiB, Fake::Drop), "counterfeit", RegionState::Changed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(c.shape);
        const cardcheck::CheckResult refused = bench.Run(Mode::Full);
        EXPECT_EQ(refused.outcome, Outcome::NotDone);
        EXPECT_EQ(bench.card.bytesWritten, 0u);

        cardcheck::CheckRequest request = bench.Request(Mode::Full);
        request.eraseConfirmed = true;
        const cardcheck::CheckResult r = cardcheck::RunCheck(bench.cards, request);
        EXPECT_EQ(r.capacity.verdict, c.verdict) << r.summary;
        EXPECT_TRUE(r.erased);
        const uint64_t real = bench.card.shape().realBytes;
        EXPECT_EQ(r.capacity.realBytes, real);
        EXPECT_EQ(Bytes(r, RegionState::Ok), real);
        EXPECT_EQ(Bytes(r, c.fakeState), c.fakeState == RegionState::Ok ? real : 64 * MiB - real);
        EXPECT_EQ(r.outcome, real == 64 * MiB ? Outcome::Passed : Outcome::Failed);
        EXPECT_FALSE(r.samples.empty());
    }
}

}  // namespace
