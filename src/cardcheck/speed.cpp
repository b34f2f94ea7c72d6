// speed: sustained sequential write and read speed. The first bytes written
// go to the card's burst buffer and are left out; the figure is the 5th
// percentile of one-second windows, so a card that slows down now and then
// is judged by its slow moments. Each piece is flushed before the next.
//
// Through the file system: a test file in the free space, always removed
// (an interrupted run leaves its name in a journal, and the next start
// removes it). At device level: a stretch in the middle of the card, kept in
// the journal first and put back afterwards, as quick does.
#include <algorithm>
#include <filesystem>

#include "cardcheck/modes.h"
#include "platform/carddevice.h"

namespace fs = std::filesystem;

namespace cardcheck {

namespace {

constexpr uint64_t kMiB = 1ull << 20;
const char kTestFileName[] = "FLNTSPD.TMP";

uint64_t AlignDown(uint64_t v, uint64_t a)
{
    return v / a * a;
}

struct Plan {
    uint64_t piece = 0;
    uint64_t skip = 0;
    uint64_t total = 0;
};

Plan MakePlan(const Options& o, uint64_t room)
{
    Plan p;
    p.piece = std::max<uint64_t>(AlignDown(o.pieceBytes, 64 * 1024), 64 * 1024);
    p.total = AlignDown(std::min(o.maxSpeedBytes, room), p.piece);
    p.skip = AlignDown(std::min(o.burstBytes, p.total / 4), p.piece);
    return p;
}

// Writes pieces from `at` until the time after the skipped bytes reaches
// the measuring time or the plan's end. Returns the bytes written.
uint64_t WritePieces(Session& s, platform::CardDevice& device, bool viaSession, const ProbeKey& key, uint64_t at,
                     const Plan& plan, std::vector<Piece>* pieces, std::string* why)
{
    AlignedBuffer buffer(plan.piece);
    const double measure = s.request().options.measureSeconds;
    uint64_t done = 0;
    double measuredFrom = -1;
    while (done < plan.total) {
        if (s.Stopped()) {
            *why = "The check was stopped";
            return done;
        }
        FillProbe(key, at + done, buffer.data(), plan.piece);
        const double t0 = s.clock().Now();
        // Through the session, a write to the card checks its identity first.
        platform::AccessResult r = viaSession ? s.Write(at + done, buffer.data(), plan.piece)
                                              : device.Write(at + done, buffer.data(), plan.piece);
        if (r.ok())
            r = device.Flush();
        if (!r.ok()) {
            *why = r.why;
            return done;
        }
        if (!viaSession)
            s.result().bytesWritten += plan.piece;
        const double t1 = s.clock().Now();
        pieces->push_back({at + done, t0, t1, plan.piece});
        done += plan.piece;
        if (done >= plan.skip && measuredFrom < 0)
            measuredFrom = t1;
        s.Advance(static_cast<double>(plan.piece), "Writing");
        if (measuredFrom >= 0 && t1 - measuredFrom >= measure && done > plan.skip)
            break;
    }
    return done;
}

// Reads back what was written, judging each unit; timings into *pieces.
bool ReadPieces(Session& s, platform::CardDevice& device, const ProbeKey& key, uint64_t at, uint64_t length,
                uint64_t piece, std::vector<Piece>* pieces, ExtentSet* bad, std::string* why)
{
    AlignedBuffer buffer(piece);
    for (uint64_t done = 0; done < length; done += piece) {
        if (s.Stopped()) {
            *why = "The check was stopped";
            return false;
        }
        const double t0 = s.clock().Now();
        const platform::AccessResult r = device.Read(at + done, buffer.data(), piece);
        if (!r.ok()) {
            bad->Add(at + done, piece);
            continue;
        }
        s.result().bytesRead += piece;
        pieces->push_back({at + done, t0, s.clock().Now(), piece});
        for (uint64_t u = 0; u < piece; u += kUnit)
            if (ClassifyUnit(key, at + done + u, buffer.data() + u).state != UnitState::Ok)
                bad->Add(at + done + u, kUnit);
        s.Advance(static_cast<double>(piece), "Reading back");
    }
    return true;
}

void Figures(Session& s, const std::string& method, const Plan& plan, const std::vector<Piece>& writes,
             const std::vector<Piece>& reads)
{
    SpeedFinding& f = s.result().speed;
    f.method = method;
    FillSpeed(&f, writes, reads, plan.skip);
}

bool ThroughFiles(Session& s, const ProbeKey& key, const std::string& root, uint64_t room)
{
    const Plan plan = MakePlan(s.request().options, room);
    const std::string path = (fs::path(root) / kTestFileName).string();
    std::error_code ec;
    if (fs::exists(path, ec))
        return s.Fail(path + " is in the way of the test file; remove it and try again");
    if (!s.StartJournal("speed", path))
        return false;
    std::unique_ptr<platform::CardDevice> file;
    platform::AccessResult r = platform::OpenFileDevice(path, plan.total, true, &file);
    if (!r.ok())
        return s.Fail("Cannot create the test file: " + r.why);
    s.result().uncached = file->Uncached();
    s.Plan(2.0 * static_cast<double>(plan.total));
    std::vector<Piece> writes, reads;
    std::string why;
    const uint64_t written = WritePieces(s, *file, false, key, 0, plan, &writes, &why);
    ExtentSet bad;
    if (why.empty())
        ReadPieces(s, *file, key, 0, written, plan.piece, &reads, &bad, &why);
    file.reset();
    // The test file goes in every case, and the file system is flushed.
    fs::remove(path, ec);
    std::string syncWhy;
    platform::SyncFileSystem(root, &syncWhy);
    if (ec)
        return s.Fail("Cannot remove the test file " + path + ": " + ec.message());
    if (!why.empty())
        return s.Fail(why);
    Figures(s, "files", plan, writes, reads);
    if (!bad.empty()) {
        s.result().notes.push_back(ByteText(bad.Bytes()) + " of the test file did not read back as written");
        s.result().outcome = Outcome::Failed;
    }
    return true;
}

bool AtDevice(Session& s, const ProbeKey& key)
{
    const Options& o = s.request().options;
    uint64_t room = s.size() / 2;
    uint64_t freeBytes = 0, blockSize = 0;
    // The journal holds all of it: the work folder's disk must have room.
    if (platform::FileSystemSpace(s.request().workFolder, &freeBytes, &blockSize))
        room = std::min(room, freeBytes > 256 * kMiB ? freeBytes - 256 * kMiB : 0);
    const Plan limit = MakePlan(o, room);
    if (limit.total < 8 * limit.piece)
        return s.Fail("Not enough room for the speed test: the card or the work folder's disk is too small");
    const uint64_t start = std::max<uint64_t>(kMiB, AlignDown((s.size() - limit.total) / 2, kMiB));
    if (!s.StartJournal("speed"))
        return false;
    s.Plan(3.0 * static_cast<double>(limit.total));
    // Keeps what the stretch holds, reading it in order: the read speed. It
    // reads on until the writes (not faster than reads) can fill the
    // measuring time.
    std::vector<Piece> reads;
    uint64_t kept = 0;
    while (kept < limit.total) {
        if (s.Stopped())
            return s.Fail("The check was stopped");
        ExtentSet piece, unreadable;
        piece.Add(start + kept, limit.piece);
        if (!s.Protect(&piece, &unreadable, &reads))
            return false;
        if (!unreadable.empty())
            return s.Fail("The card cannot be read at byte " + std::to_string(unreadable.Extents().front().offset));
        kept += limit.piece;
        s.Advance(static_cast<double>(limit.piece), "Reading");
        double time = 0;
        for (const Piece& p : reads)
            time += p.end - p.start;
        const double readSpeed = time > 0 ? static_cast<double>(kept) / time : 0;
        if (kept >= limit.skip + 4 * limit.piece && kept >= limit.skip + o.measureSeconds * readSpeed)
            break;
    }
    Plan plan = limit;
    plan.total = kept;
    std::vector<Piece> writes, verifies;
    std::string why;
    const uint64_t written = WritePieces(s, s.device(), true, key, start, plan, &writes, &why);
    ExtentSet bad;
    if (why.empty())
        ReadPieces(s, s.device(), key, start, written, plan.piece, &verifies, &bad, &why);
    if (!why.empty())
        return s.Fail(why);
    Figures(s, "device", plan, writes, reads);
    ExtentSet tested;
    tested.Add(start, written);
    for (const Extent& e : tested.Minus(bad).Extents())
        s.result().regions.push_back({e.offset, e.length, RegionState::Ok});
    for (const Extent& e : bad.Extents())
        s.result().regions.push_back({e.offset, e.length, RegionState::Changed});
    std::sort(s.result().regions.begin(), s.result().regions.end(),
              [](const Region& a, const Region& b) { return a.offset < b.offset; });
    s.result().samples = SamplesByPosition(writes, reads, s.size(), 64);
    if (!bad.empty()) {
        s.result().notes.push_back(ByteText(bad.Bytes()) + " of what was written did not read back as written");
        s.result().outcome = Outcome::Failed;
    }
    return true;
}

}  // namespace

// Where the speed test runs: through the card's files when they are
// reachable and the free space holds the test, at device level otherwise.
SpeedPlace ChooseSpeedPlace(const platform::Volume& card, const Options& o)
{
    SpeedPlace place;
    if (o.speedWhere == SpeedWhere::Device || card.mountPoint.empty())
        return place;
    uint64_t freeBytes = 0, blockSize = 0;
    if (!platform::FileSystemSpace(card.mountPoint, &freeBytes, &blockSize)) {
        place.throughFiles = o.speedWhere == SpeedWhere::Files;
        return place;
    }
    // A tenth of the free space (at least 16 MiB) stays free.
    const uint64_t keep = std::max<uint64_t>(freeBytes / 10, 16 * kMiB);
    place.room = freeBytes > keep ? freeBytes - keep : 0;
    place.root = card.mountPoint;
    const Plan plan = MakePlan(o, place.room);
    place.throughFiles = o.speedWhere == SpeedWhere::Files || plan.total >= plan.skip + 8 * plan.piece;
    return place;
}

bool MeasureSpeed(Session& s, const SpeedPlace& place)
{
    const ProbeKey key{s.result().run, 1};
    if (!(place.throughFiles ? ThroughFiles(s, key, place.root, place.room) : AtDevice(s, key)))
        return false;
    CheckResult& result = s.result();
    result.verdicts = JudgeModes(result.speed.writeBytesPerSecond, result.speedIsLowerBound);
    if (result.outcome != Outcome::Failed)
        result.outcome =
            result.speed.writeBytesPerSecond >= s.request().neededBytesPerSecond ? Outcome::Passed : Outcome::Failed;
    return true;
}

}  // namespace cardcheck
