// What the card check writes: every 512-byte unit carries its own address and
// the run's random key, followed by a pattern derived from both, so a unit
// read back tells whether it is what was written there, what was written for
// another address (the card stores both addresses in one place), or neither
// (the write vanished or the data changed).
#pragma once

#include <cstddef>
#include <cstdint>

namespace cardcheck {

constexpr uint32_t kUnit = 512;

// One run of a check: a random number, and the round within the run (a
// second look at a failure uses a new round, so that data left by an earlier
// round never passes for new).
struct ProbeKey {
    uint64_t run = 0;
    uint32_t round = 0;
};

// Fills length bytes (a multiple of kUnit) that belong at byte address
// `address` of the card.
void FillProbe(const ProbeKey& key, uint64_t address, uint8_t* buffer, size_t length);

enum class UnitState : uint8_t {
    Ok,           // what was written there
    Changed,      // not what was written: the write vanished, or the data changed
    Overwritten,  // data written for another address of this round
    Unreadable,   // the read failed
};

struct UnitReading {
    UnitState state = UnitState::Changed;
    uint64_t foundAddress = 0;  // Overwritten: the address the data was written for
};

// Judges the unit read back at `address`.
UnitReading ClassifyUnit(const ProbeKey& key, uint64_t address, const uint8_t* unit);

// True when the unit is one this run wrote (any round); *address gets the
// address it was written for.
bool IsRunUnit(uint64_t run, const uint8_t* unit, uint64_t* address);

// A fresh random run number.
uint64_t NewRunNumber();

}  // namespace cardcheck
