// The card check: is the card as big as it claims, can it be read
// everywhere, and is it fast enough for the camera?
//
//   read   reads samples spread over the whole card past all caches: read
//          speed by position and every unreadable range. Writes nothing.
//   quick  finds the card's real capacity in a minute or two. Every block it
//          overwrites is kept in a journal in the work folder first and put
//          back afterwards, so the card ends as it was.
//   speed  sustained write and read speed, the card's burst buffer left out:
//          through a test file in the free space when the card's files are
//          reachable, else at device level with the same journal as quick.
//   full   writes and checks the whole card. Destroys everything on it.
//
// Runs on the caller's thread, touches no widgets, reaches the card through
// platform::CardAccess alone (a simulated card stands in for tests).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cardcheck/clock.h"
#include "cardcheck/result.h"
#include "platform/cardaccess.h"

namespace cardcheck {

bool ParseMode(const std::string& text, Mode* mode);
std::string ModeName(Mode mode);
// One plain sentence on what the mode does, and what it does to the card.
std::string ModeSentence(Mode mode);
std::string ModeWrites(Mode mode);

struct Progress {
    double fraction = 0;      // 0..1
    std::string phase;        // "Reading samples", "Writing probes", ...
    double secondsLeft = -1;  // -1 while not known
};

struct Hooks {
    std::function<void(const Progress&)> progress;
    std::function<void(const std::string&)> log;
    // Asked between transfers; true stops the check (what was written is put
    // back first).
    std::function<bool()> cancelled;
};

enum class SpeedWhere { Auto, Files, Device };

// Tunables; the defaults are what the program uses.
struct Options {
    Clock* clock = nullptr;  // nullptr: the system's steady clock
    uint64_t run = 0;        // 0: a new random number
    // read
    uint32_t readSamples = 256;
    uint64_t sampleBytes = 1ull << 20;
    // quick
    uint64_t keepOffBytes = 1ull << 20;  // the start of the card (boot region) is only read
    uint64_t flushBytes = 32ull << 20;   // larger than any card's own cache
    uint32_t gridBlocks = 4096;
    // speed
    SpeedWhere speedWhere = SpeedWhere::Auto;
    uint64_t burstBytes = 256ull << 20;   // written first and left out
    double measureSeconds = 30;           // measured after the burst
    uint64_t maxSpeedBytes = 1ull << 30;  // at most this much in all
    uint64_t pieceBytes = 4ull << 20;     // each piece is flushed
};

struct CheckRequest {
    std::string name;  // a listed card or image
    Mode mode = Mode::Read;
    std::string workFolder;       // journals (quick, speed at device level); ends in "/"
    bool eraseConfirmed = false;  // full: the user agreed to lose everything on the card
    // speed: a sustained write speed below this fails the card (0: any).
    double neededBytesPerSecond = 0;
    Options options;
};

CheckResult RunCheck(platform::CardAccess& cards, const CheckRequest& request, const Hooks& hooks = {});

}  // namespace cardcheck
