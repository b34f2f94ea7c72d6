// read: samples spread evenly over the whole card, read once each past the
// caches. A sample that fails is read again piece by piece, so each
// unreadable range is known by address; the scan goes on after it.
#include <algorithm>

#include "cardcheck/modes.h"

namespace cardcheck {

namespace {

constexpr uint64_t kPiece = 4096;

uint64_t AlignDown(uint64_t v, uint64_t a)
{
    return v / a * a;
}

// Reads [at, at + length) in pieces, then in sectors; what fails goes to
// unreadable, what reads goes to ok.
void Narrow(Session& s, uint8_t* buffer, uint64_t at, uint64_t length, uint64_t piece, ExtentSet* ok,
            ExtentSet* unreadable)
{
    const uint64_t sector = s.device().SectorSize();
    for (uint64_t p = at; p < at + length; p += piece) {
        const uint64_t n = std::min(piece, at + length - p);
        if (s.Read(p, buffer, n).ok())
            ok->Add(p, n);
        else if (piece > sector)
            Narrow(s, buffer, p, n, sector, ok, unreadable);
        else
            unreadable->Add(p, n);
    }
}

}  // namespace

bool ScanReads(Session& s)
{
    CheckResult& result = s.result();
    const Options& o = s.request().options;
    const uint64_t sector = std::max<uint64_t>(s.device().SectorSize(), kUnit);
    const uint64_t size = AlignDown(s.size(), sector);
    const uint64_t sample = std::max(sector, AlignDown(std::min(o.sampleBytes, size), sector));
    // The whole card when samples would cover it anyway.
    const uint64_t wanted = std::max<uint32_t>(o.readSamples, 1);
    const uint64_t count = std::min<uint64_t>(wanted, (size + sample - 1) / sample);
    const bool whole = count * sample >= size;
    AlignedBuffer buffer(sample);
    ExtentSet ok, unreadable;
    std::vector<Piece> reads;
    s.Plan(static_cast<double>(std::min(size, count * sample)));
    for (uint64_t i = 0; i < count; ++i) {
        if (s.Stopped())
            return s.Fail("The check was stopped");
        uint64_t at = whole ? i * sample : (count == 1 ? 0 : AlignDown((size - sample) / (count - 1) * i, sector));
        const uint64_t n = std::min(sample, size - at);
        const double t0 = s.clock().Now();
        const platform::AccessResult r = s.Read(at, buffer.data(), n);
        if (r.error == platform::AccessError::NotFound)
            return s.Fail(r.why);
        if (r.ok()) {
            reads.push_back({at, t0, s.clock().Now(), n});
            ok.Add(at, n);
        } else {
            Narrow(s, buffer.data(), at, n, kPiece, &ok, &unreadable);
        }
        s.Advance(static_cast<double>(n), "Reading samples");
    }
    for (const Extent& e : ok.Extents())
        result.regions.push_back({e.offset, e.length, RegionState::Ok});
    for (const Extent& e : unreadable.Extents())
        result.regions.push_back({e.offset, e.length, RegionState::Unreadable});
    std::sort(result.regions.begin(), result.regions.end(),
              [](const Region& a, const Region& b) { return a.offset < b.offset; });
    result.samples = SamplesByPosition({}, reads, size, 512);
    std::vector<double> speeds;
    for (const SpeedSample& sample : result.samples)
        speeds.push_back(sample.readBytesPerSecond);
    result.speed.readBytesPerSecond = Percentile(speeds, 5);
    result.speed.readMedianBytesPerSecond = Percentile(speeds, 50);
    result.outcome = unreadable.empty() ? Outcome::Passed : Outcome::Failed;
    return true;
}

}  // namespace cardcheck
