// What one fetch may bring and how long it may take, and the texts that say
// which limit stopped a fetch. Shared by the getter and the blocking client.
#pragma once

#include <cstdint>
#include <string>

namespace flintor::net {

// How much one fetch may bring and how long it may take. A catalogue is a
// few kilobytes and a build archive a few megabytes: the limits are far
// above both, and keep an endless or trickling answer from filling memory or
// the disk, or holding the fetch queue for ever.
struct FetchLimits {
    int64_t maxBytes = 0;  // body bytes at most (0: no cap)
    long deadlineMs = 0;   // the whole fetch, from connecting to the last byte (0: none)
    long idleMs = 90000;   // longest time without a byte received
};
inline constexpr FetchLimits kCatalogueLimits{4 * 1024 * 1024, 2 * 60 * 1000, 90000};
inline constexpr FetchLimits kArchiveLimits{int64_t{1} << 30, 60 * 60 * 1000, 90000};

// The failure texts of the limits, naming the limit: "answer larger than the
// size limit of 4 MiB", "not complete within the time limit of 2 min",
// "timed out (nothing received for 90 s)".
std::string SizeLimitText(int64_t maxBytes);
// For a transfer that ended in CURLE_OPERATION_TIMEDOUT after elapsedMs:
// the deadline's text once it has passed (within a few ms: libcurl keeps its
// own clock), otherwise the idle time's.
std::string TimeLimitText(const FetchLimits& limits, long elapsedMs);

// The idle time in whole seconds, at least one, as libcurl's check counts it.
long IdleSeconds(const FetchLimits& limits);

}  // namespace flintor::net
