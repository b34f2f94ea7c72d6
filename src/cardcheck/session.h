// One run of a card check: the card, its open device, the result being
// filled in, progress, and the journal that keeps what writes overwrite.
// Private to src/cardcheck.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "cardcheck/cardcheck.h"
#include "cardcheck/extents.h"
#include "cardcheck/journal.h"
#include "platform/carddevice.h"

namespace cardcheck {

// A transfer buffer aligned for uncached transfers.
class AlignedBuffer {
public:
    explicit AlignedBuffer(size_t length);
    ~AlignedBuffer() { std::free(data_); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    uint8_t* data() { return data_; }
    size_t size() const { return size_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// One timed transfer.
struct Piece {
    uint64_t offset = 0;
    double start = 0;
    double end = 0;
    uint64_t bytes = 0;
};

class Session {
public:
    Session(platform::CardAccess& cards, const CheckRequest& request, const Hooks& hooks, CheckResult* result);
    ~Session();

    // Looks the card up (it must be listed); false with the reason set.
    bool Find();
    // Opens the card's device. For writing, the card is unmounted through
    // the backend first and opened exclusively.
    bool Open(bool write);
    void Close();

    platform::CardDevice& device() { return *device_; }
    uint64_t size() const { return device_->SizeBytes(); }
    Clock& clock() { return *clock_; }
    const platform::Volume& card() const { return result_->card; }
    const CheckRequest& request() const { return request_; }
    CheckResult& result() { return *result_; }

    // Transfers, counted in the result. Before the first byte is written the
    // card must still be the one that was chosen (its identity).
    platform::AccessResult Read(uint64_t offset, uint8_t* buffer, size_t length);
    platform::AccessResult Write(uint64_t offset, const uint8_t* buffer, size_t length);
    platform::AccessResult Flush();

    // The journal in the work folder; Protect saves what the card holds now
    // in the parts of *extents not saved yet and flushes the journal to disk.
    // Parts that cannot be read (so not saved) are taken out of *extents and
    // reported as unreadable.
    bool StartJournal(const std::string& mode, const std::string& testFile = std::string());
    // timings, when given, gets the card reads.
    bool Protect(ExtentSet* extents, ExtentSet* unreadable, std::vector<Piece>* timings = nullptr);
    bool journaled() const { return journal_.open(); }
    // Puts back everything the journal holds, newest first, checks it and
    // deletes the journal. Refuses a card that cannot be shown to be the one
    // the journal belongs to.
    bool Restore();

    // Progress: the work is counted in units the caller chooses.
    void Plan(double total);
    void Advance(double units, const std::string& phase);
    void Report(double fraction, const std::string& phase);
    bool Stopped();
    void Log(const std::string& text);
    // Ends the check as not done; returns false.
    bool Fail(const std::string& why);

private:
    bool CheckIdentity();
    bool NotPutBack(const std::string& why);

    platform::CardAccess& cards_;
    const CheckRequest& request_;
    const Hooks& hooks_;
    CheckResult* result_;
    Clock* clock_;
    std::unique_ptr<platform::CardDevice> device_;
    Journal journal_;
    ExtentSet saved_;
    bool identityChecked_ = false;
    double start_ = 0;
    double planned_ = 1;
    double done_ = 0;
    double lastReport_ = -1;
};

// Writes the journal's records back, newest first, flushes and reads them
// back. A unit that reads back as an older record's data is the card storing
// two addresses in one place, and counts as put back. progress gets 0..1.
bool PutBack(platform::CardDevice& device, const std::string& journalPath, const std::vector<JournalRecord>& records,
             const std::function<void(double)>& progress, std::string* why);

// Whether the open device is the card the journal was written for, when its
// identity no longer says so (the check may have overwritten its file
// system's serial): the same size, and this run's data at a journaled place.
bool HoldsRunData(platform::CardDevice& device, const JournalHeader& header, const std::vector<JournalRecord>& records);

}  // namespace cardcheck
