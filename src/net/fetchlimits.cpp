#include "net/fetchlimits.h"

#include <algorithm>
#include <utility>

namespace flintor::net {

long IdleSeconds(const FetchLimits& limits)
{
    return std::max(1L, (limits.idleMs + 999) / 1000);
}

namespace {

// 4 MiB, 1 GiB, 1500 KiB, 1000 bytes.
std::string SizeText(int64_t bytes)
{
    for (const auto& [unit, name] : {std::pair<int64_t, const char*>{int64_t{1} << 30, " GiB"},
                                     {int64_t{1} << 20, " MiB"},
                                     {int64_t{1} << 10, " KiB"}})
        if (bytes >= unit && bytes % unit == 0)
            return std::to_string(bytes / unit) + name;
    return std::to_string(bytes) + " bytes";
}

// 2 min, 90 s, 1500 ms.
std::string DurationText(long ms)
{
    if (ms >= 60000 && ms % 60000 == 0)
        return std::to_string(ms / 60000) + " min";
    if (ms >= 1000 && ms % 1000 == 0)
        return std::to_string(ms / 1000) + " s";
    return std::to_string(ms) + " ms";
}

}  // namespace

std::string SizeLimitText(int64_t maxBytes)
{
    return "answer larger than the size limit of " + SizeText(maxBytes);
}

std::string TimeLimitText(const FetchLimits& limits, long elapsedMs)
{
    // libcurl keeps its own clock, which may have counted a millisecond or
    // two more than the caller's: a time-out this close to the deadline is it.
    constexpr long kClockSlackMs = 50;
    if (limits.deadlineMs > 0 && elapsedMs + kClockSlackMs >= limits.deadlineMs)
        return "not complete within the time limit of " + DurationText(limits.deadlineMs);
    // In whole seconds, as the idle check counts them.
    return "timed out (nothing received for " + std::to_string(IdleSeconds(limits)) + " s)";
}

}  // namespace flintor::net
