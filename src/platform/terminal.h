// Whether the program talks to a person at a terminal, for the command line:
// progress is shown and questions are asked only then.
#pragma once

namespace platform {

bool StandardInputIsTerminal();
bool StandardErrorIsTerminal();

// While one lives, Ctrl+C, a closed terminal and a request to end the program
// (SIGINT, SIGHUP, SIGTERM) no longer end it at once: they only mark the work
// as interrupted, for long work to notice and stop cleanly. The mark is
// cleared when one is made; the handling before it comes back when it goes.
class InterruptCatcher {
public:
    InterruptCatcher();
    ~InterruptCatcher();
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

private:
    static constexpr int kCaught = 3;
    void (*previous_[kCaught])(int) = {};
};

// Whether an interrupt came since the last InterruptCatcher was made.
bool InterruptRequested();

}  // namespace platform
