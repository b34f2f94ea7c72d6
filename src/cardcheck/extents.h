// Byte ranges of a card: sets of disjoint, merged ranges.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace cardcheck {

struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t end() const { return offset + length; }
    bool operator==(const Extent&) const = default;
};

class ExtentSet {
public:
    // Adds [offset, offset + length); touching and overlapping ranges merge.
    void Add(uint64_t offset, uint64_t length);
    void Add(const ExtentSet& other);
    // The parts of this set that `other` does not cover.
    ExtentSet Minus(const ExtentSet& other) const;
    bool Contains(uint64_t offset) const;
    bool empty() const { return ranges_.empty(); }
    uint64_t Bytes() const;
    std::vector<Extent> Extents() const;

private:
    std::map<uint64_t, uint64_t> ranges_;  // start -> end
};

}  // namespace cardcheck
