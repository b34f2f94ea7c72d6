#include "platform/terminal.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iterator>

namespace platform {

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

void OnInterrupt(int)
{
    gInterrupted = true;
}

}  // namespace

bool StandardInputIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

bool StandardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

InterruptCatcher::InterruptCatcher()
{
    static_assert(std::size(kInterrupts) == kCaught);
    gInterrupted = false;
    for (int i = 0; i < kCaught; ++i)
        previous_[i] = std::signal(kInterrupts[i], OnInterrupt);
}

InterruptCatcher::~InterruptCatcher()
{
    for (int i = 0; i < kCaught; ++i)
        std::signal(kInterrupts[i], previous_[i]);
}

bool InterruptRequested()
{
    return gInterrupted.load();
}

}  // namespace platform
