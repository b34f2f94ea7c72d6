// Time as the card check measures it: seconds on a steady clock. Tests and
// the benchmark give a virtual clock that a simulated card moves on.
#pragma once

namespace cardcheck {

class Clock {
public:
    virtual ~Clock() = default;
    virtual double Now() = 0;
};

// The system's steady clock.
Clock& SystemClock();

}  // namespace cardcheck
