#include "cardcheck/rounds.h"

#include <algorithm>

namespace cardcheck {

namespace {

constexpr uint64_t kPiece = 4096;
constexpr size_t kMaxAliases = 1 << 16;

// Gathers consecutive units of the same state into ranges.
class Runs {
public:
    explicit Runs(RoundOutcome* out) : out_(out) {}
    ~Runs() { Close(); }
    void Put(uint64_t address, UnitState state, bool bad)
    {
        if (state != state_ || bad != bad_ || address != end_) {
            Close();
            state_ = state;
            bad_ = bad;
            start_ = address;
        }
        end_ = address + kUnit;
    }
    void Close()
    {
        if (end_ > start_) {
            Set(state_).Add(start_, end_ - start_);
            if (bad_)
                out_->bad.Add(start_, end_ - start_);
        }
        start_ = end_ = 0;
    }

private:
    ExtentSet& Set(UnitState s)
    {
        switch (s) {
        case UnitState::Ok:
            return out_->ok;
        case UnitState::Changed:
            return out_->changed;
        case UnitState::Overwritten:
            return out_->overwritten;
        case UnitState::Unreadable:
            break;
        }
        return out_->unreadable;
    }
    RoundOutcome* out_;
    UnitState state_ = UnitState::Ok;
    bool bad_ = false;
    uint64_t start_ = 0;
    uint64_t end_ = 0;
};

void AddAlias(RoundOutcome* out, uint64_t a, uint64_t b)
{
    const uint64_t high = std::max(a, b);
    out->bad.Add(high, kUnit);
    if (out->aliases.size() < kMaxAliases)
        out->aliases.emplace_back(high, std::min(a, b));
}

void Judge(const ProbeKey& key, const ExtentSet& written, const ExtentSet& failedWrites, uint64_t at,
           const uint8_t* data, uint64_t length, Runs* runs, RoundOutcome* out)
{
    for (uint64_t u = 0; u < length; u += kUnit) {
        const uint64_t address = at + u;
        const bool wasWritten = written.Contains(address);
        if (failedWrites.Contains(address)) {
            runs->Put(address, UnitState::Unreadable, true);
            continue;
        }
        const UnitReading r = ClassifyUnit(key, address, data + u);
        if (!wasWritten) {
            // Only watched: anything of this round here came from elsewhere.
            // The place itself is real: the address whose data it shows is not.
            if (r.state == UnitState::Overwritten)
                AddAlias(out, r.foundAddress, address);
            runs->Put(address, UnitState::Ok, false);
            continue;
        }
        if (r.state == UnitState::Overwritten)
            AddAlias(out, r.foundAddress, address);
        runs->Put(address, r.state, r.state != UnitState::Ok);
    }
}

}  // namespace

uint64_t RoundOutcome::FirstBad() const
{
    const auto all = bad.Extents();
    return all.empty() ? UINT64_MAX : all.front().offset;
}

bool RunRound(Session& session, const ProbeKey& key, RoundPlan& plan, RoundOutcome* out)
{
    const uint64_t chunk = std::max<uint64_t>(plan.chunkBytes, kPiece);
    AlignedBuffer buffer(chunk);
    ExtentSet unsaved;
    if (!plan.journaled && !plan.writes.empty() && session.request().mode != Mode::Full) {
        // Only the full test, which the user agreed destroys everything,
        // writes without keeping what it overwrites.
        session.Fail("A round was to write without a journal");
        out->failed = true;
        return false;
    }
    if (plan.journaled && !session.Protect(&plan.writes, &unsaved)) {
        out->failed = true;
        return false;
    }
    session.Advance(static_cast<double>(plan.writes.Bytes()), plan.phase);
    // Highest first, in chunks taken from the top of each range.
    ExtentSet failedWrites = unsaved;
    const std::vector<Extent> writes = plan.writes.Extents();
    for (auto e = writes.rbegin(); e != writes.rend(); ++e) {
        for (uint64_t end = e->end(); end > e->offset;) {
            if (session.Stopped()) {
                out->stopped = true;
                return false;
            }
            const uint64_t n = std::min(chunk, end - e->offset);
            const uint64_t start = end - n;
            FillProbe(key, start, buffer.data(), n);
            const double t0 = session.clock().Now();
            const platform::AccessResult r = session.Write(start, buffer.data(), n);
            if (r.error == platform::AccessError::NotFound) {
                session.Fail(r.why);
                out->failed = true;
                return false;
            }
            if (r.ok())
                out->writePieces.push_back({start, t0, session.clock().Now(), n});
            else
                failedWrites.Add(start, n);
            session.Advance(static_cast<double>(n), plan.phase);
            end = start;
        }
    }
    session.Flush();
    Runs runs(out);
    for (const Extent& e : plan.reads.Extents()) {
        for (uint64_t at = e.offset; at < e.end(); at += chunk) {
            if (session.Stopped()) {
                out->stopped = true;
                return false;
            }
            const uint64_t n = std::min(chunk, e.end() - at);
            const double t0 = session.clock().Now();
            if (session.Read(at, buffer.data(), n).ok()) {
                out->readPieces.push_back({at, t0, session.clock().Now(), n});
                Judge(key, plan.writes, failedWrites, at, buffer.data(), n, &runs, out);
            } else {
                // Narrows the failure down to pieces; the scan goes on.
                for (uint64_t p = at; p < at + n; p += kPiece) {
                    const uint64_t len = std::min(kPiece, at + n - p);
                    if (session.Read(p, buffer.data(), len).ok()) {
                        Judge(key, plan.writes, failedWrites, p, buffer.data(), len, &runs, out);
                        continue;
                    }
                    for (uint64_t u = p; u < p + len; u += kUnit)
                        runs.Put(u, UnitState::Unreadable, plan.writes.Contains(u));
                }
            }
            session.Advance(static_cast<double>(n), plan.phase);
        }
    }
    runs.Close();
    out->unreadable.Add(unsaved);
    out->bad.Add(unsaved);
    // Addresses whose data turned up elsewhere read back fine themselves:
    // they show as overwritten all the same.
    ExtentSet seenBad = out->changed;
    seenBad.Add(out->overwritten);
    seenBad.Add(out->unreadable);
    const ExtentSet aliased = out->bad.Minus(seenBad);
    out->ok = out->ok.Minus(aliased);
    out->overwritten.Add(aliased);
    return true;
}

void PaintRegions(const RoundOutcome& outcome, std::vector<Region>* regions)
{
    const std::pair<const ExtentSet*, RegionState> sets[] = {{&outcome.ok, RegionState::Ok},
                                                             {&outcome.changed, RegionState::Changed},
                                                             {&outcome.overwritten, RegionState::Overwritten},
                                                             {&outcome.unreadable, RegionState::Unreadable}};
    std::vector<Region> fresh;
    ExtentSet covered;
    for (const auto& [set, state] : sets) {
        covered.Add(*set);
        for (const Extent& e : set->Extents())
            fresh.push_back({e.offset, e.length, state});
    }
    // What the earlier rounds showed stays where this one did not look.
    for (const Region& r : *regions) {
        ExtentSet old;
        old.Add(r.offset, r.length);
        for (const Extent& e : old.Minus(covered).Extents())
            fresh.push_back({e.offset, e.length, r.state});
    }
    std::sort(fresh.begin(), fresh.end(), [](const Region& a, const Region& b) { return a.offset < b.offset; });
    regions->clear();
    for (const Region& r : fresh) {
        if (!regions->empty() && regions->back().state == r.state &&
            regions->back().offset + regions->back().length == r.offset)
            regions->back().length += r.length;
        else
            regions->push_back(r);
    }
}

}  // namespace cardcheck
