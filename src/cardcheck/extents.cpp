#include "cardcheck/extents.h"

#include <algorithm>

namespace cardcheck {

void ExtentSet::Add(uint64_t offset, uint64_t length)
{
    if (length == 0)
        return;
    uint64_t start = offset;
    uint64_t end = offset + length;
    auto it = ranges_.upper_bound(start);
    if (it != ranges_.begin() && std::prev(it)->second >= start)
        --it;
    while (it != ranges_.end() && it->first <= end) {
        start = std::min(start, it->first);
        end = std::max(end, it->second);
        it = ranges_.erase(it);
    }
    ranges_[start] = end;
}

void ExtentSet::Add(const ExtentSet& other)
{
    for (const auto& [start, end] : other.ranges_)
        Add(start, end - start);
}

ExtentSet ExtentSet::Minus(const ExtentSet& other) const
{
    ExtentSet out;
    for (const auto& [start, end] : ranges_) {
        uint64_t at = start;
        auto it = other.ranges_.upper_bound(start);
        if (it != other.ranges_.begin())
            --it;
        for (; it != other.ranges_.end() && it->first < end && at < end; ++it) {
            if (it->second <= at)
                continue;
            if (it->first > at)
                out.Add(at, it->first - at);
            at = std::max(at, it->second);
        }
        if (at < end)
            out.Add(at, end - at);
    }
    return out;
}

bool ExtentSet::Contains(uint64_t offset) const
{
    auto it = ranges_.upper_bound(offset);
    return it != ranges_.begin() && std::prev(it)->second > offset;
}

uint64_t ExtentSet::Bytes() const
{
    uint64_t total = 0;
    for (const auto& [start, end] : ranges_)
        total += end - start;
    return total;
}

std::vector<Extent> ExtentSet::Extents() const
{
    std::vector<Extent> out;
    out.reserve(ranges_.size());
    for (const auto& [start, end] : ranges_)
        out.push_back({start, end - start});
    return out;
}

}  // namespace cardcheck
