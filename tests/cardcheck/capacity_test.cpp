// The capacity probe (quick) on simulated cards: the size it finds, the card
// left as it was, and what happens when the check is stopped, the card is
// pulled or swapped.
#include <gtest/gtest.h>

#include <filesystem>

#include "cardcheck/recovery.h"
#include "simcard.h"

using cardcheck::Mode;
using cardcheck::Outcome;
using testsupport::Fake;
using testsupport::SimBench;
using testsupport::SimCardSpec;

namespace {

constexpr uint64_t MiB = 1ull << 20;
constexpr uint64_t GiB = 1ull << 30;
constexpr uint64_t k64GB = 64'021'856'256ull;  // what a 64 GB card holds

SimCardSpec Shape(uint64_t claimed, uint64_t real, Fake fake, uint32_t cacheUnits = 0)
{
    SimCardSpec shape;
    shape.claimedBytes = claimed;
    shape.realBytes = real;
    shape.fake = fake;
    shape.cacheUnits = cacheUnits;
    return shape;
}

TEST(CapacityProbe, FindsTheRealSizeAndLeavesTheCardAsItWas)
{
    struct Case {
        const char* what;
        SimCardSpec shape;
        const char* verdict;
        const char* behaviour;
        uint64_t real;
    };
    SimCardSpec unreadable = Shape(64 * MiB, 0, Fake::None);
    unreadable.errorFrom = 40 * MiB;
    unreadable.errorTo = 40 * MiB + 8192;
    SimCardSpec sectors4k = Shape(256 * MiB, 100 * MiB + 8192, Fake::Wrap);
    sectors4k.sectorSize = 4096;
    SimCardSpec flaky = Shape(64 * MiB, 0, Fake::None);
    flaky.flakyAt = 2 * MiB + 4096;
    const Case cases[] = {
        {"genuine", Shape(64 * MiB, 0, Fake::None), "genuine", "none", 64 * MiB},
        {"wraps at a power of two", Shape(64 * MiB, 16 * MiB, Fake::Wrap), "counterfeit", "wraps", 16 * MiB},
        {"wraps at any size", Shape(256 * MiB, 100 * MiB + 3584, Fake::Wrap), "counterfeit", "wraps", 100 * MiB + 3584},
        {"drops past any size", Shape(256 * MiB, 96 * MiB + 1536, Fake::Drop), "counterfeit", "drops", 96 * MiB + 1536},
        {"wraps behind a cache", Shape(128 * MiB, 32 * MiB, Fake::Wrap, 4096), "counterfeit", "wraps", 32 * MiB},
        {"drops behind a cache", Shape(128 * MiB, 40 * MiB, Fake::Drop, 4096), "counterfeit", "drops", 40 * MiB},
        // Addresses past 4 GiB; the benchmark runs the other 64 GB cards.
        {"64 GB wrapping at 8 GiB", Shape(k64GB, 8 * GiB, Fake::Wrap), "counterfeit", "wraps", 8 * GiB},
        {"4096-byte sectors, wrapping", sectors4k, "counterfeit", "wraps", 100 * MiB + 8192},
        {"unreadable in the middle", unreadable, "faulty", "unreadable", 40 * MiB},
        {"a failure that does not repeat", flaky, "unreliable", "drops", 2 * MiB + 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimBench bench(c.shape);
        const cardcheck::CheckResult r = bench.Run(Mode::Quick);
        ASSERT_NE(r.outcome, Outcome::NotDone) << r.error;
        EXPECT_EQ(r.outcome, std::string(c.verdict) == "genuine" ? Outcome::Passed : Outcome::Failed);
        EXPECT_EQ(r.capacity.verdict, c.verdict) << r.summary;
        EXPECT_EQ(r.capacity.behaviour, c.behaviour);
        EXPECT_EQ(r.capacity.realBytes, c.real);
        EXPECT_EQ(r.capacity.claimedBytes, c.shape.claimedBytes);
        uint64_t where = 0;
        EXPECT_TRUE(bench.card.Unchanged(&where)) << "changed at byte " << where;
        EXPECT_TRUE(r.restored);
        EXPECT_TRUE(bench.Journals().empty());
        // Device-level: unmounted and opened for writing.
        EXPECT_EQ(bench.cards.calls.front(), "unmount");
    }
}

TEST(CapacityProbe, ReportsWhereWrapsLand)
{
    SimBench bench(Shape(256 * MiB, 64 * MiB, Fake::Wrap));
    const cardcheck::CheckResult r = bench.Run(Mode::Quick);
    EXPECT_TRUE(r.capacity.exact);
    EXPECT_EQ(r.capacity.lossStartsAt, 64 * MiB);
    EXPECT_EQ(r.capacity.wrapsTo, 0u);
    EXPECT_NE(r.summary.find("lands on the card's first bytes"), std::string::npos) << r.summary;
    // The map shows the fake part as overwritten, nothing of the real part.
    bool fakeShown = false;
    for (const cardcheck::Region& region : r.regions) {
        if (region.offset + region.length <= 64 * MiB) {
            EXPECT_EQ(region.state, cardcheck::RegionState::Ok) << region.offset;
        }
        fakeShown = fakeShown || region.state == cardcheck::RegionState::Overwritten;
    }
    EXPECT_TRUE(fakeShown);
}

TEST(CapacityProbe, WritesNothingToACardSwappedBeforeTheFirstWrite)
{
    SimBench bench(Shape(64 * MiB, 0, Fake::None));
    bench.cards.swapAfterLookups = 1;
    const cardcheck::CheckResult r = bench.Run(Mode::Quick);
    EXPECT_EQ(r.outcome, Outcome::NotDone);
    EXPECT_NE(r.error.find("no longer the card that was chosen"), std::string::npos) << r.error;
    EXPECT_EQ(bench.card.bytesWritten, 0u);
    EXPECT_TRUE(bench.Journals().empty());
}

TEST(CapacityProbe, StoppedHalfWayPutsEverythingBack)
{
    SimBench bench(Shape(256 * MiB, 64 * MiB, Fake::Wrap));
    cardcheck::Hooks hooks;
    hooks.cancelled = [&] { return bench.card.bytesWritten > 8 * MiB; };
    const cardcheck::CheckResult r = bench.Run(Mode::Quick, hooks);
    EXPECT_EQ(r.outcome, Outcome::NotDone);
    EXPECT_EQ(r.error, "The check was stopped");
    EXPECT_TRUE(r.restored);
    EXPECT_TRUE(bench.card.Unchanged());
    EXPECT_TRUE(bench.Journals().empty());
}

TEST(Recovery, CardPulledHalfWayIsPutBackAtTheNextStart)
{
    // The second time, the check had overwritten the file system's serial,
    // so the card comes back with another identity.
    for (const bool identityChanged : {false, true}) {
        SCOPED_TRACE(identityChanged ? "identity changed" : "same identity");
        SimBench bench(Shape(256 * MiB, 64 * MiB, Fake::Wrap));
        bench.card.pullAfterBytesWritten = 20 * MiB;
        const cardcheck::CheckResult stopped = bench.Run(Mode::Quick);
        ASSERT_EQ(stopped.outcome, Outcome::NotDone);
        EXPECT_NE(stopped.error.find("is gone, so its data was not put back"), std::string::npos) << stopped.error;
        ASSERT_EQ(bench.Journals().size(), 1u);
        ASSERT_FALSE(bench.card.Unchanged());

        bench.card.present = true;
        bench.card.pullAfterBytesWritten = UINT64_MAX;
        if (identityChanged)
            bench.cards.volume.identity = "sim:serial overwritten";
        else  // a new check waits until the data is back
            EXPECT_NE(bench.Run(Mode::Read).error.find("interrupted check"), std::string::npos);
        const auto found = cardcheck::FindInterrupted(bench.cards, bench.workFolder);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].name, "sim0");
        const cardcheck::RecoverResult r = cardcheck::Recover(bench.cards, found[0]);
        EXPECT_TRUE(r.ok) << r.text;
        EXPECT_TRUE(bench.card.Unchanged());
        EXPECT_TRUE(bench.Journals().empty());
    }
}

TEST(Recovery, RefusesACardThatIsNotTheJournals)
{
    SimBench bench(Shape(256 * MiB, 64 * MiB, Fake::Wrap));
    bench.card.pullAfterBytesWritten = 20 * MiB;
    bench.Run(Mode::Quick);
    ASSERT_EQ(bench.Journals().size(), 1u);
    // Gone: nothing to match.
    auto found = cardcheck::FindInterrupted(bench.cards, bench.workFolder);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "");
    EXPECT_FALSE(cardcheck::Recover(bench.cards, found[0]).ok);
    // Another card under the same name: another identity and none of the
    // run's data on it.
    testsupport::SimCard other(Shape(256 * MiB, 0, Fake::None), &bench.clock);
    testsupport::SimCards otherCards(&other);
    otherCards.volume.identity = "sim:2";
    found = cardcheck::FindInterrupted(otherCards, bench.workFolder);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].name, "");
    found[0].name = "sim0";  // even when told so
    EXPECT_FALSE(cardcheck::Recover(otherCards, found[0]).ok);
    EXPECT_EQ(other.bytesWritten, 0u);
    EXPECT_EQ(bench.Journals().size(), 1u);
}

}  // namespace
