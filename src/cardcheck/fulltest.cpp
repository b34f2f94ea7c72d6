// full: writes the whole card from the top down, then reads it all back and
// judges every unit: ok, changed, overwritten (data of another address) or
// unreadable. Written top down, a card that stores addresses past its real
// size in the same place as lower ones keeps the lower data, so the real
// part reads ok and the fake part reads overwritten. A failure is written
// and read once more with new data before the card is called counterfeit.
#include <algorithm>

#include "cardcheck/modes.h"

namespace cardcheck {

namespace {

constexpr uint64_t kChunk = 4ull << 20;
// Less than the places whose pairs the first pass keeps (rounds.cpp), so
// every place of the stretch gets its lower partner written again.
constexpr uint64_t kRecheckBytes = 16ull << 20;

}  // namespace

bool TestWholeCard(Session& s)
{
    if (!s.request().eraseConfirmed)
        return s.Fail("The full test erases the card and needs the user's consent");
    CheckResult& result = s.result();
    const uint64_t grain = std::max<uint64_t>(kUnit, s.device().SectorSize());
    const uint64_t size = s.size() / grain * grain;
    RoundPlan plan;
    plan.writes.Add(0, size);
    plan.reads.Add(0, size);
    plan.journaled = false;
    plan.chunkBytes = kChunk;
    plan.phase = "Writing and reading the whole card";
    s.Plan(2.0 * static_cast<double>(size));
    result.erased = true;
    RoundOutcome first;
    if (!RunRound(s, ProbeKey{result.run, 1}, plan, &first))
        return false;
    PaintRegions(first, &result.regions);
    result.samples = SamplesByPosition(first.writePieces, first.readPieces, size, 512);
    result.speed.method = "device";
    FillSpeed(&result.speed, first.writePieces, first.readPieces, std::min(s.request().options.burstBytes, size / 4));
    result.verdicts = JudgeModes(result.speed.writeBytesPerSecond, result.speedIsLowerBound);

    CapacityFinding& cap = result.capacity;
    cap.tested = true;
    cap.claimedBytes = s.size();
    cap.realBytes = cap.lossStartsAt = s.size();
    if (first.bad.empty()) {
        cap.verdict = "genuine";
        cap.behaviour = "none";
        result.outcome = Outcome::Passed;
        return true;
    }
    result.outcome = Outcome::Failed;
    const uint64_t firstBad = first.FirstBad();
    cap.realBytes = cap.lossStartsAt = firstBad;
    cap.behaviour = !first.aliases.empty()                      ? "wraps"
                    : first.bad.Minus(first.unreadable).empty() ? "unreadable"
                                                                : "drops";
    // Once more with new data: the first failing stretch and the places its
    // data turned up.
    RoundPlan again;
    again.journaled = false;
    again.phase = "Checking the failures again";
    const uint64_t length = std::min(kRecheckBytes, first.bad.Extents().front().length);
    again.writes.Add(firstBad, length);
    for (const auto& [high, low] : first.aliases)
        if (high >= firstBad && high < firstBad + length)
            again.writes.Add(low, kUnit);
    again.reads = again.writes;
    RoundOutcome second;
    // The map stays the whole pass's; the second look only confirms.
    if (!RunRound(s, ProbeKey{result.run, 2}, again, &second))
        return false;
    const bool tail = first.ok
                          .Minus([&] {
                              ExtentSet below;
                              below.Add(0, firstBad);
                              return below;
                          }())
                          .empty();
    if (second.bad.empty())
        cap.verdict = "unreliable";
    else if (cap.behaviour == "unreadable" || !tail)
        cap.verdict = "faulty";
    else
        cap.verdict = "counterfeit";
    return true;
}

}  // namespace cardcheck
