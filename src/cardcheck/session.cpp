#include "cardcheck/session.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>

#include "cardcheck/probe.h"
#include "core/driveentry.h"

namespace cardcheck {

namespace {

constexpr uint64_t kRecordBytes = 1ull << 20;
constexpr uint64_t kPiece = 4096;

class Steady : public Clock {
public:
    double Now() override
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }
};

uint64_t UnitHash(const uint8_t* unit)
{
    uint64_t hash = 0xcbf29ce484222325ull;
    for (uint32_t i = 0; i < kUnit; ++i)
        hash = (hash ^ unit[i]) * 0x100000001b3ull;
    return hash;
}

}  // namespace

Clock& SystemClock()
{
    static Steady clock;
    return clock;
}

AlignedBuffer::AlignedBuffer(size_t length) : size_(length)
{
    void* p = nullptr;
    if (posix_memalign(&p, platform::kDeviceBufferAlignment, std::max<size_t>(length, 1)) != 0)
        throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
}

Session::Session(platform::CardAccess& cards, const CheckRequest& request, const Hooks& hooks, CheckResult* result)
    : cards_(cards), request_(request), hooks_(hooks), result_(result),
      clock_(request.options.clock ? request.options.clock : &SystemClock())
{
    start_ = clock_->Now();
}

Session::~Session()
{
    Close();
}

bool Session::Find()
{
    if (!cards_.FindVolume(request_.name, &result_->card))
        return Fail(request_.name + " is not a listed card or image");
    return true;
}

bool Session::Open(bool write)
{
    if (write) {
        const platform::AccessResult unmounted = cards_.Unmount(request_.name);
        if (!unmounted.ok()) {
            std::string users;
            if (result_->card.device.rfind("/dev/", 0) == 0)
                for (const std::string& user : platform::DeviceUsers(result_->card.device))
                    users += (users.empty() ? " It is held by " : ", ") + user;
            return Fail("Cannot unmount " + request_.name + ": " + unmounted.why + users + (users.empty() ? "" : ".") +
                        " Nothing was written.");
        }
    }
    const platform::AccessResult r = cards_.OpenDevice(request_.name, write, &device_);
    if (!r.ok())
        return Fail(r.why);
    result_->uncached = device_->Uncached();
    return true;
}

void Session::Close()
{
    device_.reset();
}

platform::AccessResult Session::Read(uint64_t offset, uint8_t* buffer, size_t length)
{
    const platform::AccessResult r = device_->Read(offset, buffer, length);
    if (r.ok())
        result_->bytesRead += length;
    return r;
}

platform::AccessResult Session::Write(uint64_t offset, const uint8_t* buffer, size_t length)
{
    if (!identityChecked_) {
        if (!CheckIdentity())
            return platform::AccessResult::Fail(platform::AccessError::NotFound, result_->error);
        identityChecked_ = true;
    }
    const platform::AccessResult r = device_->Write(offset, buffer, length);
    if (r.ok())
        result_->bytesWritten += length;
    return r;
}

platform::AccessResult Session::Flush()
{
    return device_->Flush();
}

bool Session::CheckIdentity()
{
    platform::Volume now;
    if (!cards_.FindVolume(request_.name, &now) || now.identity != result_->card.identity)
        return Fail(request_.name + " is no longer the card that was chosen; nothing was written to it");
    return true;
}

bool Session::StartJournal(const std::string& mode, const std::string& testFile)
{
    if (request_.workFolder.empty())
        return Fail("There is no private work folder for the journal that keeps the card's data");
    const platform::Volume& v = result_->card;
    JournalHeader h;
    h.run = result_->run;
    h.mode = mode;
    h.name = v.name;
    h.device = v.device;
    h.identity = v.identity;
    h.card = core::EntryText(v.name, v.label, v.fsName, v.sizeBytes);
    h.created = NowText();
    h.testFile = testFile;
    h.sizeBytes = device_ ? device_->SizeBytes() : v.sizeBytes;
    std::string why;
    if (!journal_.Create(JournalPath(request_.workFolder, v.identity), h, &why))
        return Fail(why);
    return true;
}

bool Session::Protect(ExtentSet* extents, ExtentSet* unreadable, std::vector<Piece>* timings)
{
    ExtentSet todo = extents->Minus(saved_);
    AlignedBuffer buffer(kRecordBytes);
    std::string why;
    for (const Extent& e : todo.Extents()) {
        for (uint64_t at = e.offset; at < e.end();) {
            const uint64_t n = std::min(kRecordBytes, e.end() - at);
            const double t0 = clock_->Now();
            if (Read(at, buffer.data(), n).ok()) {
                if (timings)
                    timings->push_back({at, t0, clock_->Now(), n});
                if (!journal_.Append(at, buffer.data(), static_cast<uint32_t>(n), &why))
                    return Fail(why);
                saved_.Add(at, n);
                at += n;
                continue;
            }
            // Piece by piece: what cannot be read cannot be kept, so it is
            // not written either.
            for (uint64_t p = at; p < at + n; p += kPiece) {
                const uint64_t len = std::min(kPiece, at + n - p);
                if (Read(p, buffer.data(), len).ok()) {
                    if (!journal_.Append(p, buffer.data(), static_cast<uint32_t>(len), &why))
                        return Fail(why);
                    saved_.Add(p, len);
                } else {
                    unreadable->Add(p, len);
                }
            }
            at += n;
        }
    }
    ExtentSet kept = extents->Minus(*unreadable);
    *extents = kept;
    if (!journal_.Sync(&why))
        return Fail(why);
    return true;
}

bool Session::Restore()
{
    if (!journal_.open())
        return true;
    std::string why;
    JournalHeader header;
    std::vector<JournalRecord> records;
    if (!ReadJournal(journal_.path(), &header, &records, &why))
        return Fail(why);
    if (records.empty() || !identityChecked_) {
        // Nothing was written to the card (or nothing of it was kept: the
        // speed test's file is gone already).
        if (!journal_.Remove(&why))
            Log(why);
        return true;
    }
    const std::string kept = " What the check overwrote is kept in " + journal_.path() +
                             ": the next start offers to put it back (or run 'flintor-cli check --recover').";
    platform::Volume now;
    if (!cards_.FindVolume(request_.name, &now))
        return NotPutBack(request_.name + " is gone, so its data was not put back." + kept);
    if (now.identity != result_->card.identity && !HoldsRunData(*device_, header, records))
        return NotPutBack(request_.name + " cannot be shown to be the card that was checked, so nothing was put back." +
                          kept);
    lastReport_ = -1;
    const bool ok = PutBack(
        *device_, journal_.path(), records, [this](double f) { Report(f, "Putting the card's data back"); }, &why);
    if (!ok)
        return NotPutBack(why + "." + kept);
    for (const JournalRecord& r : records)
        result_->bytesWritten += r.length;
    if (!journal_.Remove(&why))
        Log(why);
    result_->restored = true;
    return true;
}

void Session::Plan(double total)
{
    planned_ = std::max(total, 1.0);
    done_ = 0;
}

void Session::Advance(double units, const std::string& phase)
{
    done_ += units;
    Report(done_ / planned_, phase);
}

void Session::Report(double fraction, const std::string& phase)
{
    if (!hooks_.progress)
        return;
    const double now = clock_->Now();
    fraction = std::clamp(fraction, 0.0, 1.0);
    if (now - lastReport_ < 0.1 && fraction < 1.0 && lastReport_ >= 0)
        return;
    lastReport_ = now;
    Progress p;
    p.fraction = fraction;
    p.phase = phase;
    const double elapsed = now - start_;
    if (fraction > 0.02 && elapsed > 1.0)
        p.secondsLeft = elapsed * (1.0 - fraction) / fraction;
    hooks_.progress(p);
}

bool Session::Stopped()
{
    return hooks_.cancelled && hooks_.cancelled();
}

void Session::Log(const std::string& text)
{
    if (hooks_.log)
        hooks_.log(text);
}

bool Session::NotPutBack(const std::string& why)
{
    // Said after whatever ended the check: both matter.
    result_->outcome = Outcome::NotDone;
    result_->error += (result_->error.empty() ? "" : " ") + why;
    return false;
}

bool Session::Fail(const std::string& why)
{
    result_->outcome = Outcome::NotDone;
    if (result_->error.empty())
        result_->error = why;
    return false;
}

bool PutBack(platform::CardDevice& device, const std::string& journalPath, const std::vector<JournalRecord>& records,
             const std::function<void(double)>& progress, std::string* why)
{
    AlignedBuffer buffer(kRecordBytes);
    std::vector<uint8_t> data;
    const double total = 2.0 * static_cast<double>(records.size());
    double done = 0;
    // Each unit's data, with the first record that holds it: the records go
    // back newest first, so the last one seen for a unit is the first.
    std::unordered_map<uint64_t, size_t> firstHolder;
    for (size_t i = records.size(); i-- > 0;) {
        const JournalRecord& record = records[i];
        if (!ReadRecordData(journalPath, record, &data) || data.size() > buffer.size()) {
            *why = "Cannot read the journal " + journalPath;
            return false;
        }
        for (uint32_t u = 0; u + kUnit <= record.length; u += kUnit)
            firstHolder[UnitHash(data.data() + u)] = i;
        std::copy(data.begin(), data.end(), buffer.data());
        const platform::AccessResult r = device.Write(record.offset, buffer.data(), record.length);
        if (!r.ok()) {
            *why = "Putting the card's data back failed: " + r.why;
            return false;
        }
        if (progress)
            progress(++done / total);
    }
    const platform::AccessResult flushed = device.Flush();
    if (!flushed.ok()) {
        *why = "Putting the card's data back failed: " + flushed.why;
        return false;
    }
    uint64_t differing = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const JournalRecord& r = records[i];
        if (!ReadRecordData(journalPath, r, &data) || !device.Read(r.offset, buffer.data(), r.length).ok()) {
            *why = "Cannot read back what was put back at byte " + std::to_string(r.offset);
            return false;
        }
        for (uint32_t u = 0; u + kUnit <= r.length; u += kUnit) {
            if (std::equal(buffer.data() + u, buffer.data() + u + kUnit, data.data() + u))
                continue;
            const auto holder = firstHolder.find(UnitHash(buffer.data() + u));
            if (holder == firstHolder.end() || holder->second >= i)
                ++differing;
        }
        if (progress)
            progress(++done / total);
    }
    if (differing > 0) {
        *why = "The card did not keep " + std::to_string(differing) + " of the 512-byte units that were put back";
        return false;
    }
    return true;
}

bool HoldsRunData(platform::CardDevice& device, const JournalHeader& header, const std::vector<JournalRecord>& records)
{
    if (header.run == 0 || device.SizeBytes() != header.sizeBytes)
        return false;
    const uint32_t sector = std::max<uint32_t>(device.SectorSize(), kUnit);
    AlignedBuffer unit(sector);
    // A stopped check may have written any part of what it saved: looks
    // spread over all records, and at the last ones (written first).
    const size_t step = std::max<size_t>(1, records.size() / 64);
    for (size_t i = 0; i < records.size(); i = i + 16 >= records.size() ? i + 1 : i + step) {
        const uint64_t at = records[i].offset;
        uint64_t address = 0;
        if (at % sector == 0 && device.Read(at, unit.data(), sector).ok() &&
            IsRunUnit(header.run, unit.data(), &address))
            return true;
    }
    return false;
}

}  // namespace cardcheck
