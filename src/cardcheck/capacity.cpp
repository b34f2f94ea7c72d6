// quick: the capacity probe.
//
// Round 1 writes probe data over a flush region near the start (larger than
// any card's cache, written last so that the card's cache holds nothing else
// when the probes are read back), one small block at each of a grid of
// places over the whole card, and a window at the very end, longer than the
// grid's step. The start of the card (boot region) is never written, only
// read back. On a card that stores addresses past its real size in the same
// place as lower ones, the end window lands on the flush region, a grid block
// or the start, and shows up there; on a card that drops such writes, the
// grid blocks past the real size read back wrong.
//
// Round 2 pins the size down: for dropped writes, every unit between the last
// good and the first bad grid block; for shared places, each period the found
// pairs allow is tried on one unit (a unit at period + base must show the
// base's data). Round 3 checks the finding again with new data before the
// card is called counterfeit.
#include <algorithm>
#include <numeric>
#include <set>

#include "cardcheck/modes.h"

namespace cardcheck {

namespace {

constexpr uint64_t kBlock = 4096;
constexpr size_t kMaxCandidates = 8192;

uint64_t AlignDown(uint64_t v, uint64_t a)
{
    return v / a * a;
}

ExtentSet Range(uint64_t offset, uint64_t length)
{
    ExtentSet set;
    set.Add(offset, length);
    return set;
}

// Every divisor of value that is a multiple of grain, ascending, up to limit.
std::vector<uint64_t> Periods(uint64_t value, uint64_t grain, uint64_t limit)
{
    std::set<uint64_t> found;
    const uint64_t units = value % grain == 0 ? value / grain : 0;
    for (uint64_t d = 1; d * d <= units; ++d) {
        if (units % d != 0)
            continue;
        found.insert(d * grain);
        found.insert(units / d * grain);
    }
    std::vector<uint64_t> periods;
    for (uint64_t p : found)
        if (p <= limit)
            periods.push_back(p);
    return periods;
}

bool HasAlias(const RoundOutcome& o, uint64_t high, uint64_t low)
{
    return std::find(o.aliases.begin(), o.aliases.end(), std::make_pair(high, low)) != o.aliases.end();
}

struct Probe {
    explicit Probe(Session& session) : s(session) {}
    Session& s;
    uint64_t size = 0;     // what is probed: the card's size in whole units
    uint64_t grain = 0;    // the smallest transfer: a 512-byte unit or the card's sector
    uint64_t keepOff = 0;  // [0, keepOff) is only read
    ExtentSet flush;       // [keepOff, keepOff + flush)
    uint32_t round = 0;

    // A round that writes: the flush region goes last.
    bool Run(RoundPlan plan, RoundOutcome* out)
    {
        if (!plan.writes.empty() || plan.journaled)
            plan.writes.Add(flush);
        const ProbeKey key{s.result().run, ++round};
        if (!RunRound(s, key, plan, out))
            return false;
        PaintRegions(*out, &s.result().regions);
        return true;
    }

    // Places to try periods on: the unit at period + base must show the
    // base's data. Bases are flush units, or watched units of the start
    // when period + flush unit reaches past the end; a period that leaves no
    // room at all is not tried.
    std::vector<std::pair<uint64_t, uint64_t>> Tries(const std::vector<uint64_t>& periods) const
    {
        std::vector<std::pair<uint64_t, uint64_t>> tries;
        const uint64_t flushStart = flush.Extents().front().offset;
        uint64_t inFlush = flushStart, inStart = AlignDown(keepOff / 2, grain);
        for (uint64_t period : periods) {
            uint64_t& base =
                period + inFlush + grain <= size && inFlush < flushStart + flush.Bytes() ? inFlush : inStart;
            if (period + base + grain > size || (&base == &inStart && base >= keepOff))
                continue;
            tries.emplace_back(period, base);
            base += grain;
        }
        return tries;
    }
};

}  // namespace

bool ProbeCapacity(Session& s)
{
    CheckResult& result = s.result();
    const Options& o = s.request().options;
    CapacityFinding& cap = result.capacity;
    cap.tested = true;
    cap.claimedBytes = s.size();
    Probe p(s);
    p.grain = std::max<uint64_t>(kUnit, s.device().SectorSize());
    const uint64_t grain = p.grain;
    p.size = AlignDown(s.size(), grain);
    p.keepOff = std::min(AlignDown(o.keepOffBytes, kBlock), AlignDown(p.size / 8, kBlock));
    const uint64_t flushBytes = std::min(AlignDown(o.flushBytes, kBlock), AlignDown(p.size / 4, kBlock));
    if (p.size < 64 * kBlock || flushBytes < 4 * kBlock)
        return s.Fail("The card is too small for the capacity probe (" + ByteText(p.size) + ")");
    p.flush.Add(p.keepOff, flushBytes);
    if (!s.StartJournal("quick"))
        return false;
    const uint64_t gridStart = p.keepOff + flushBytes;
    const ExtentSet watch = Range(0, p.keepOff);

    // Round 1: flush region, grid, end window; the start is watched.
    RoundPlan survey;
    survey.phase = "Writing and reading probes";
    const uint64_t step =
        std::max(kBlock, AlignDown((p.size - gridStart) / std::max<uint32_t>(o.gridBlocks, 1), kBlock));
    for (uint64_t at = gridStart; at + kBlock <= p.size; at += step)
        survey.writes.Add(at, kBlock);
    const uint64_t window = std::min(p.size - gridStart, AlignDown(step + 2 * kBlock, grain));
    survey.writes.Add(p.size - window, window);
    survey.reads = survey.writes;
    survey.reads.Add(p.flush);
    survey.reads.Add(watch);
    const double planned = 3.0 * static_cast<double>(survey.reads.Bytes() + flushBytes) + 4.0 * flushBytes;
    s.Plan(planned);
    RoundOutcome first;
    if (!p.Run(survey, &first))
        return false;
    cap.realBytes = cap.lossStartsAt = s.size();
    if (first.bad.empty()) {
        cap.verdict = "genuine";
        cap.behaviour = "none";
        return true;
    }

    const uint64_t firstBad = first.FirstBad();
    uint64_t real = firstBad;
    if (!first.aliases.empty()) {
        cap.behaviour = "wraps";
        uint64_t common = 0;
        for (const auto& [high, low] : first.aliases)
            common = std::gcd(common, high - low);
        std::vector<uint64_t> periods = Periods(common, grain, firstBad);
        if (periods.size() > kMaxCandidates) {
            periods.resize(kMaxCandidates);
            cap.exact = false;
        }
        // Round 2: each period on one unit of its own.
        const auto tries = p.Tries(periods);
        RoundPlan plan;
        plan.phase = "Narrowing the real size down";
        for (const auto& [period, base] : tries) {
            plan.writes.Add(period + base, grain);
            plan.reads.Add(period + base, grain);
            plan.reads.Add(base, grain);
        }
        RoundOutcome second;
        if (!p.Run(plan, &second))
            return false;
        uint64_t found = 0;
        for (const auto& [period, base] : tries)
            if (found == 0 && HasAlias(second, period + base, base))
                found = period;
        if (found != 0) {
            real = found;
            for (const auto& [period, base] : tries)
                if (HasAlias(second, period + base, base) != (period % found == 0))
                    cap.exact = false;
        } else {
            cap.exact = false;
        }
        cap.wrapsTo = 0;
    } else {
        const bool onlyUnreadable = first.bad.Minus(first.unreadable).empty();
        cap.behaviour = onlyUnreadable ? "unreadable" : "drops";
        // The last unit known good below the first bad one.
        uint64_t good = 0;
        for (const Extent& e : first.ok.Extents())
            if (e.end() <= firstBad)
                good = e.end();
        if (!onlyUnreadable && firstBad - good > grain) {
            RoundPlan between;
            between.phase = "Narrowing the real size down";
            const uint64_t from = AlignDown(good, grain);
            between.writes.Add(from, AlignDown(firstBad, grain) + grain - from);
            between.reads = between.writes;
            RoundOutcome second;
            if (!p.Run(between, &second))
                return false;
            real = std::min(firstBad, second.FirstBad());
        }
    }

    real = AlignDown(real, grain);
    // Round 3: the finding again, with new data.
    RoundPlan again;
    again.phase = "Checking the finding again";
    const uint64_t below = real >= kBlock ? real - kBlock : 0;
    bool confirmed = false;
    RoundOutcome third;
    const auto retry = p.Tries({real});
    if (cap.behaviour == "wraps" && cap.exact && !retry.empty()) {
        // Another base than round 2's, so the unit is a new place.
        uint64_t base = retry.front().second;
        const uint64_t shifted = base + (base < p.keepOff ? grain : flushBytes / 2);
        if (real + shifted + grain <= p.size && (base >= p.keepOff || shifted < p.keepOff))
            base = shifted;
        again.writes.Add(real + base, grain);
        again.reads.Add(real + base, grain);
        again.reads.Add(base, grain);
        if (below >= p.keepOff)
            again.writes.Add(below, real - below);
        again.reads.Add(below, real - below);
        if (!p.Run(again, &third))
            return false;
        confirmed = HasAlias(third, real + base, base) && third.bad.Minus(Range(real, s.size())).empty();
    } else if (cap.behaviour == "wraps") {
        // No single period explains it: the first pair seen, once more.
        const uint64_t high = AlignDown(first.aliases.front().first, grain);
        const uint64_t low = AlignDown(first.aliases.front().second, grain);
        again.writes.Add(high, grain);
        again.reads.Add(high, grain);
        again.reads.Add(low, grain);
        if (low >= p.keepOff)
            again.writes.Add(low, grain);
        if (!p.Run(again, &third))
            return false;
        confirmed = HasAlias(third, high, low);
    } else if (cap.behaviour == "unreadable") {
        again.reads = first.unreadable;
        again.journaled = false;
        if (!p.Run(again, &third))
            return false;
        confirmed = third.unreadable.Bytes() > 0;
    } else {
        const uint64_t from = std::max(p.keepOff, below);
        again.writes.Add(from, std::min(p.size, real + 4 * kBlock) - from);
        again.reads = again.writes;
        if (!p.Run(again, &third))
            return false;
        confirmed = third.FirstBad() == real || (!cap.exact && third.FirstBad() <= real);
    }

    cap.realBytes = real;
    cap.lossStartsAt = real;
    if (!confirmed) {
        cap.verdict = "unreliable";
        return true;
    }
    // Written data lost only in places, with good blocks above: not a card
    // that is smaller than it claims.
    const bool tail = first.ok.Minus(Range(0, real)).empty() || cap.behaviour == "wraps";
    cap.verdict = cap.behaviour == "unreadable" || !tail ? "faulty" : "counterfeit";
    return true;
}

}  // namespace cardcheck
