// What a card check found, for the command line, the window and --json.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cardcheck/verdict.h"
#include "platform/volumes.h"

namespace cardcheck {

enum class Mode { Read, Quick, Speed, Full };

// The exit status of the command line follows it: 0, 3, 1.
enum class Outcome {
    Passed,   // the card passed
    Failed,   // the card failed: counterfeit, unreadable or changed data, too slow
    NotDone,  // the check itself could not be done (or was stopped)
};

enum class RegionState { Ok, Changed, Overwritten, Unreadable };

struct Region {
    uint64_t offset = 0;
    uint64_t length = 0;
    RegionState state = RegionState::Ok;
};

// One measured stretch of the card: speed by position.
struct SpeedSample {
    uint64_t offset = 0;
    uint64_t length = 0;
    double readBytesPerSecond = 0;   // 0: not measured
    double writeBytesPerSecond = 0;  // 0: not measured
};

struct CapacityFinding {
    bool tested = false;
    // "genuine", "counterfeit", "faulty" (data lost or unreadable in places,
    // not at the end), "unreliable" (a failure that did not repeat).
    std::string verdict;
    uint64_t claimedBytes = 0;
    uint64_t realBytes = 0;     // usable from the start; claimedBytes when genuine
    bool exact = true;          // false: realBytes is an upper bound only
    std::string behaviour;      // "none", "wraps", "drops", "unreadable"
    uint64_t lossStartsAt = 0;  // where written data starts to be lost (claimedBytes when nowhere)
    uint64_t wrapsTo = 0;       // "wraps": where data written at lossStartsAt lands
};

struct SpeedFinding {
    bool tested = false;
    std::string method;              // "files" (a test file in free space) or "device"
    double writeBytesPerSecond = 0;  // sustained: 5th percentile of one-second windows
    double writeMedianBytesPerSecond = 0;
    double readBytesPerSecond = 0;  // 5th percentile
    double readMedianBytesPerSecond = 0;
    uint64_t skippedBytes = 0;  // written first and left out (the card's burst buffer)
    uint64_t measuredBytes = 0;
    std::vector<double> writeWindows;  // bytes per second of each one-second window
    std::vector<double> readWindows;
};

struct CheckResult {
    Mode mode = Mode::Read;
    Outcome outcome = Outcome::NotDone;
    std::string summary;  // one or two sentences for the user
    std::string error;    // NotDone: why
    platform::Volume card;
    uint64_t run = 0;
    bool uncached = true;            // transfers went past the system's caches
    unsigned readerMbps = 0;         // the reader's USB link, 0 when not known
    bool speedIsLowerBound = false;  // a USB 2.0 reader caps what can be measured
    bool restored = false;           // a check that wrote has put everything back
    bool erased = false;             // the full test overwrote the card
    double seconds = 0;
    uint64_t bytesRead = 0;
    uint64_t bytesWritten = 0;
    CapacityFinding capacity;
    SpeedFinding speed;
    std::vector<SpeedSample> samples;  // by position, ascending
    std::vector<Region> regions;       // tested ranges and what they showed, ascending
    std::vector<ModeVerdict> verdicts;
    std::vector<std::string> notes;
};

}  // namespace cardcheck
