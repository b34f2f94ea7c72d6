#include "cardcheck/probe.h"

#include <cstring>
#include <random>

namespace cardcheck {

namespace {

constexpr char kMagic[8] = {'F', 'L', 'N', 'T', 'C', 'H', 'K', '1'};
constexpr size_t kHeader = 32;  // magic, run, round, spare, address

uint64_t SplitMix(uint64_t* state)
{
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t Seed(uint64_t run, uint32_t round, uint64_t address)
{
    uint64_t s = run ^ (static_cast<uint64_t>(round) << 48) ^ 0x5851F42D4C957F2Dull;
    s = SplitMix(&s) ^ address;
    return SplitMix(&s);
}

void Put64(uint8_t* p, uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t Get64(const uint8_t* p)
{
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

void FillUnit(uint64_t run, uint32_t round, uint64_t address, uint8_t* unit)
{
    std::memcpy(unit, kMagic, 8);
    Put64(unit + 8, run);
    Put64(unit + 16, round);
    Put64(unit + 24, address);
    uint64_t state = Seed(run, round, address);
    for (size_t at = kHeader; at < kUnit; at += 8)
        Put64(unit + at, SplitMix(&state));
}

// The header's fields when the unit is a whole, intact unit of this run.
bool ParseUnit(uint64_t run, const uint8_t* unit, uint32_t* round, uint64_t* address)
{
    if (std::memcmp(unit, kMagic, 8) != 0 || Get64(unit + 8) != run)
        return false;
    const uint64_t r = Get64(unit + 16);
    if (r > 0xFFFFFFFFull)
        return false;
    *round = static_cast<uint32_t>(r);
    *address = Get64(unit + 24);
    uint64_t state = Seed(run, *round, *address);
    for (size_t at = kHeader; at < kUnit; at += 8)
        if (Get64(unit + at) != SplitMix(&state))
            return false;
    return true;
}

}  // namespace

void FillProbe(const ProbeKey& key, uint64_t address, uint8_t* buffer, size_t length)
{
    for (size_t at = 0; at + kUnit <= length; at += kUnit)
        FillUnit(key.run, key.round, address + at, buffer + at);
}

UnitReading ClassifyUnit(const ProbeKey& key, uint64_t address, const uint8_t* unit)
{
    uint32_t round = 0;
    uint64_t found = 0;
    if (!ParseUnit(key.run, unit, &round, &found) || round != key.round)
        return {UnitState::Changed, 0};
    if (found == address)
        return {UnitState::Ok, 0};
    return {UnitState::Overwritten, found};
}

bool IsRunUnit(uint64_t run, const uint8_t* unit, uint64_t* address)
{
    uint32_t round = 0;
    uint64_t found = 0;
    if (!ParseUnit(run, unit, &round, &found))
        return false;
    if (address)
        *address = found;
    return true;
}

uint64_t NewRunNumber()
{
    std::random_device device;
    uint64_t run = 0;
    while (run == 0)
        run = (static_cast<uint64_t>(device()) << 32) ^ device();
    return run;
}

}  // namespace cardcheck
