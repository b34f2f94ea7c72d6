// The capacity probe (quick) on simulated 8, 64 and 256 GB cards at 20 MB/s:
// the card time it takes (virtual clock) and what it writes and reads, for a
// genuine card and for counterfeits that wrap or drop past an eighth of what
// they claim. Prints figures; checks nothing.
#include <chrono>
#include <cstdio>

#include "simcard.h"

int main()
{
    struct Kind {
        const char* name;
        testsupport::Fake fake;
    };
    const Kind kinds[] = {{"genuine", testsupport::Fake::None},
                          {"wraps at 1/8", testsupport::Fake::Wrap},
                          {"drops past 1/8", testsupport::Fake::Drop}};
    std::printf("%-7s %-15s %-12s %14s %10s %12s %10s %9s\n", "card", "kind", "verdict", "real bytes found",
                "card time", "MiB written", "MiB read", "CPU time");
    for (const uint64_t gb : {8ull, 64ull, 256ull}) {
        for (const Kind& kind : kinds) {
            testsupport::SimCardSpec shape;
            shape.claimedBytes = gb * 1'000'000'000ull / 512 * 512;
            shape.realBytes = shape.claimedBytes / 8 / 512 * 512;
            shape.fake = kind.fake;
            shape.writeBytesPerSecond = 20e6;
            testsupport::SimBench bench(shape);
            const auto start = std::chrono::steady_clock::now();
            const cardcheck::CheckResult r = bench.Run(cardcheck::Mode::Quick);
            const double cpu = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            char card[16];
            std::snprintf(card, sizeof card, "%llu GB", static_cast<unsigned long long>(gb));
            std::printf("%-7s %-15s %-12s %14llu %9.1fs %12.1f %10.1f %8.2fs\n", card, kind.name,
                        r.capacity.verdict.c_str(), static_cast<unsigned long long>(r.capacity.realBytes), r.seconds,
                        r.bytesWritten / 1048576.0, r.bytesRead / 1048576.0, cpu);
        }
    }
    return 0;
}
