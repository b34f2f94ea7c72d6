// Figures from timed transfers: one-second windows, percentiles, speed by
// position, and the words for sizes and speeds.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "cardcheck/modes.h"

namespace cardcheck {

std::vector<double> WindowSpeeds(const std::vector<Piece>& pieces, uint64_t skipBytes, double window)
{
    // The pieces after the skipped bytes, on one time line without gaps
    // between transfers (time spent elsewhere does not count).
    std::vector<std::pair<double, double>> spans;  // (duration, bytes)
    uint64_t seen = 0;
    for (const Piece& p : pieces) {
        const uint64_t before = seen;
        seen += p.bytes;
        if (seen <= skipBytes || p.end <= p.start)
            continue;
        const double kept = static_cast<double>(seen - std::max(before, skipBytes));
        const double share = kept / static_cast<double>(p.bytes);
        spans.emplace_back((p.end - p.start) * share, kept);
    }
    std::vector<double> speeds;
    double inWindow = 0, bytes = 0;
    for (auto [duration, amount] : spans) {
        while (duration > 0) {
            const double take = std::min(duration, window - inWindow);
            const double part = amount * take / duration;
            bytes += part;
            amount -= part;
            duration -= take;
            inWindow += take;
            if (inWindow >= window - 1e-9) {
                speeds.push_back(bytes / window);
                inWindow = 0;
                bytes = 0;
            }
        }
    }
    return speeds;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::clamp(p, 0.0, 100.0) / 100.0 * static_cast<double>(values.size() - 1);
    const size_t low = static_cast<size_t>(std::floor(rank));
    const size_t high = std::min(values.size() - 1, low + 1);
    return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
}

void FillSpeed(SpeedFinding* f, const std::vector<Piece>& writes, const std::vector<Piece>& reads, uint64_t skipBytes)
{
    f->tested = true;
    f->skippedBytes = skipBytes;
    f->writeWindows = WindowSpeeds(writes, skipBytes);
    f->readWindows = WindowSpeeds(reads, 0);
    uint64_t written = 0;
    for (const Piece& p : writes)
        written += p.bytes;
    f->measuredBytes = written > skipBytes ? written - skipBytes : 0;
    // Too short for whole windows: the average stands in.
    const auto average = [](const std::vector<Piece>& pieces, uint64_t skip) {
        double bytes = 0, time = 0;
        uint64_t seen = 0;
        for (const Piece& p : pieces) {
            seen += p.bytes;
            if (seen > skip) {
                bytes += static_cast<double>(p.bytes);
                time += p.end - p.start;
            }
        }
        return time > 0 ? bytes / time : 0;
    };
    const auto figures = [&](const std::vector<double>& windows, const std::vector<Piece>& pieces, uint64_t skip,
                             double* low, double* median) {
        *low = windows.empty() ? average(pieces, skip) : Percentile(windows, 5);
        *median = windows.empty() ? *low : Percentile(windows, 50);
    };
    figures(f->writeWindows, writes, skipBytes, &f->writeBytesPerSecond, &f->writeMedianBytesPerSecond);
    figures(f->readWindows, reads, 0, &f->readBytesPerSecond, &f->readMedianBytesPerSecond);
}

std::vector<SpeedSample> SamplesByPosition(const std::vector<Piece>& writes, const std::vector<Piece>& reads,
                                           uint64_t size, size_t bins)
{
    struct Sum {
        double writeBytes = 0, writeTime = 0, readBytes = 0, readTime = 0;
        uint64_t from = UINT64_MAX, to = 0;
    };
    std::vector<Sum> sums(std::max<size_t>(bins, 1));
    const auto binOf = [&](uint64_t offset) {
        return std::min(sums.size() - 1, static_cast<size_t>(static_cast<double>(offset) / std::max<uint64_t>(size, 1) *
                                                             static_cast<double>(sums.size())));
    };
    const auto add = [&](const std::vector<Piece>& pieces, double Sum::*bytes, double Sum::*time) {
        for (const Piece& p : pieces) {
            Sum& s = sums[binOf(p.offset)];
            s.*bytes += static_cast<double>(p.bytes);
            s.*time += p.end - p.start;
            s.from = std::min(s.from, p.offset);
            s.to = std::max(s.to, p.offset + p.bytes);
        }
    };
    add(writes, &Sum::writeBytes, &Sum::writeTime);
    add(reads, &Sum::readBytes, &Sum::readTime);
    std::vector<SpeedSample> samples;
    for (const Sum& s : sums) {
        if (s.to <= s.from)
            continue;
        SpeedSample sample;
        sample.offset = s.from;
        sample.length = s.to - s.from;
        sample.writeBytesPerSecond = s.writeTime > 0 ? s.writeBytes / s.writeTime : 0;
        sample.readBytesPerSecond = s.readTime > 0 ? s.readBytes / s.readTime : 0;
        samples.push_back(sample);
    }
    return samples;
}

std::string ByteText(uint64_t bytes)
{
    // Decimal units, as card makers print them on the card.
    char text[48];
    const double b = static_cast<double>(bytes);
    if (bytes >= 1000000000ull)
        std::snprintf(text, sizeof text, "%.2f GB", b / 1e9);
    else if (bytes >= 1000000ull)
        std::snprintf(text, sizeof text, "%.1f MB", b / 1e6);
    else if (bytes >= 1000ull)
        std::snprintf(text, sizeof text, "%.0f kB", b / 1e3);
    else
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

std::string SpeedText(double bytesPerSecond)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
    return text;
}

}  // namespace cardcheck
