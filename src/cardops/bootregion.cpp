#include "cardops/bootregion.h"

#include <cstring>
#include <vector>

namespace cardops {

namespace {

constexpr uint32_t kSector = core::kSectorSize;

struct Span {
    uint32_t first;
    uint32_t count;
};

std::vector<Span> VolumeDefiningBytes(int layoutIndex)
{
    switch (layoutIndex) {
    case core::LayoutFat:
        return {{0x0B, 0x24 - 0x0B}, {0x27, 4}};
    case core::LayoutFat32:
        return {{0x0B, 0x34 - 0x0B}, {0x43, 4}};
    case core::LayoutExFat:
        return {{0x03, 8}, {64, 106 - 64}};
    default:
        return {};
    }
}

// Bytes of a boot sector (or of its copies) that drivers change on their
// own: FAT's and FAT32's dirty flags, exFAT's volume flags and use percentage.
bool DriverState(size_t offset, int layoutIndex)
{
    switch (layoutIndex) {
    case core::LayoutFat:
        return offset == 0x25;
    case core::LayoutFat32:
        return offset == 0x41;
    case core::LayoutExFat:
        return offset == 106 || offset == 107 || offset == 112;
    default:
        return false;
    }
}

uint32_t Le16(const Region& r, size_t at)
{
    return static_cast<uint32_t>(r[at]) | static_cast<uint32_t>(r[at + 1]) << 8;
}

bool WriteAndCheck(platform::CardAccess& cards, const std::string& name, const Region& region, uint32_t first,
                   uint32_t count, std::string* why)
{
    const uint8_t* data = region.data() + static_cast<size_t>(first) * kSector;
    const size_t size = static_cast<size_t>(count) * kSector;
    platform::AccessResult r = cards.WriteSectors(name, first, count, data, size);
    if (!r.ok()) {
        *why = r.why;
        return false;
    }
    std::vector<uint8_t> back(size);
    r = cards.ReadSectorsUncached(name, first, count, back.data(), back.size());
    if (!r.ok()) {
        *why = "the written sectors could not be read back: " + r.why;
        return false;
    }
    if (std::memcmp(back.data(), data, size) != 0) {
        *why = "the card did not keep what was written (it may be worn out, or its lock switch is on)";
        return false;
    }
    return true;
}

}  // namespace

bool SameVolume(const Region& a, const Region& b, int layoutIndex)
{
    for (const Span& s : VolumeDefiningBytes(layoutIndex))
        if (std::memcmp(a.data() + s.first, b.data() + s.first, s.count) != 0)
            return false;
    return true;
}

uint32_t Fat32BackupSector(const Region& region)
{
    const uint32_t backup = Le16(region, 0x32);
    const uint32_t reserved = Le16(region, 0x0E);
    const uint32_t info = Le16(region, 0x30);
    if (backup == 0 || backup >= static_cast<uint32_t>(core::kLoadSectors) || backup >= reserved || backup == info)
        return 0;
    return backup;
}

Region WriteTarget(const Region& current, const Region& from, const Region& to, int layoutIndex)
{
    Region out = current;
    const size_t span = static_cast<size_t>(core::BootRecord::SaveSectorCount(layoutIndex)) * kSector;
    for (size_t i = 0; i < span; ++i)
        if (to[i] != from[i])
            out[i] = to[i];
    if (layoutIndex == core::LayoutFat32) {
        if (const uint32_t backup = Fat32BackupSector(out)) {
            const size_t base = static_cast<size_t>(backup) * kSector;
            for (size_t i = 0; i < kSector; ++i)
                if (to[i] != from[i])
                    out[base + i] = to[i];
        }
    }
    if (layoutIndex == core::LayoutExFat) {
        core::BootRecord sealed;
        sealed.VBR = out;
        sealed.SealExFatBootRegion();
        out = sealed.VBR;
    }
    return out;
}

bool HoldsChanges(const Region& region, const Region& from, const Region& to, int layoutIndex)
{
    for (size_t i = 0; i < region.size(); ++i)
        if (from[i] != to[i] && region[i] != to[i] && !DriverState(i % kSector, layoutIndex))
            return false;
    return true;
}

bool HoldsNoChange(const Region& region, const Region& from, const Region& to, int layoutIndex)
{
    return HoldsChanges(region, to, from, layoutIndex);
}

bool WriteRegion(platform::CardAccess& cards, const std::string& name, int layoutIndex, const Region& current,
                 const Region& target, std::string* why)
{
    if (layoutIndex == core::LayoutExFat) {
        // A write torn in the main region leaves the valid backup, from which
        // drivers and fsck recover.
        return WriteAndCheck(cards, name, target, 12, 12, why) && WriteAndCheck(cards, name, target, 0, 12, why);
    }
    if (!WriteAndCheck(cards, name, target, 0, 1, why))
        return false;
    const uint32_t backup = layoutIndex == core::LayoutFat32 ? Fat32BackupSector(target) : 0;
    const size_t base = static_cast<size_t>(backup) * kSector;
    if (backup != 0 && std::memcmp(target.data() + base, current.data() + base, kSector) != 0)
        return WriteAndCheck(cards, name, target, backup, 1, why);
    return true;
}

}  // namespace cardops
