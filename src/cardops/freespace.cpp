#include "cardops/freespace.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace cardops {

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kChunkSectors = 128;  // 64 KiB per read

uint32_t Le16(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8;
}

uint32_t Le32(const uint8_t* p)
{
    return Le16(p) | Le16(p + 2) << 16;
}

uint64_t Le64(const uint8_t* p)
{
    return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

bool Fail(std::string* why, const std::string& text)
{
    if (why)
        *why = text;
    return false;
}

// Reads `bytes` bytes from sector `first` on, in chunks, handing each chunk
// to `take`.
bool ReadSpan(const SectorReader& read, uint64_t first, uint64_t bytes,
              const std::function<void(const uint8_t*, size_t)>& take)
{
    std::vector<uint8_t> chunk(kChunkSectors * kSector);
    while (bytes > 0) {
        const uint64_t sectors = std::min<uint64_t>(kChunkSectors, (bytes + kSector - 1) / kSector);
        if (!read(first, static_cast<uint32_t>(sectors), chunk.data()))
            return false;
        const size_t used = static_cast<size_t>(std::min<uint64_t>(bytes, sectors * kSector));
        take(chunk.data(), used);
        bytes -= used;
        first += sectors;
    }
    return true;
}

bool CountFat(const SectorReader& read, const uint8_t* boot, FreeClusters* out, std::string* why)
{
    const uint32_t perCluster = boot[0x0D];
    const uint32_t reserved = Le16(boot + 0x0E);
    const uint32_t fats = boot[0x10];
    const uint32_t rootEntries = Le16(boot + 0x11);
    const uint32_t total = Le16(boot + 0x13) ? Le16(boot + 0x13) : Le32(boot + 0x20);
    const uint32_t fatSectors = Le16(boot + 0x16) ? Le16(boot + 0x16) : Le32(boot + 0x24);
    if (perCluster == 0 || !std::has_single_bit(perCluster) || reserved == 0 || fats == 0 || fatSectors == 0)
        return Fail(why, "the boot sector describes no FAT volume");
    const uint64_t rootSectors = (static_cast<uint64_t>(rootEntries) * 32 + kSector - 1) / kSector;
    const uint64_t meta = reserved + static_cast<uint64_t>(fats) * fatSectors + rootSectors;
    if (total <= meta)
        return Fail(why, "the boot sector describes no FAT volume");
    const uint64_t clusters = (total - meta) / perCluster;
    // The FAT type follows from the cluster count alone.
    const int bits = clusters < 4085 ? 12 : clusters < 65525 ? 16 : 32;
    const uint64_t fatBytes = ((clusters + 2) * bits + 7) / 8;
    if (fatBytes > static_cast<uint64_t>(fatSectors) * kSector)
        return Fail(why, "the FAT is smaller than the volume's clusters need");

    uint64_t free = 0;
    if (bits == 12) {
        // Entries straddle bytes: the whole table (at most 6 KiB) at once.
        std::vector<uint8_t> fat;
        if (!ReadSpan(read, reserved, fatBytes, [&](const uint8_t* p, size_t n) { fat.insert(fat.end(), p, p + n); }))
            return Fail(why, "the FAT cannot be read");
        for (uint64_t c = 2; c < clusters + 2; ++c) {
            const uint32_t pair = Le16(&fat[c * 3 / 2]);
            free += ((c & 1) ? pair >> 4 : pair & 0xFFF) == 0;
        }
    } else {
        const size_t width = static_cast<size_t>(bits / 8);
        uint64_t index = 0;  // entry number of the next byte handed over
        const bool ok = ReadSpan(read, reserved, fatBytes, [&](const uint8_t* p, size_t n) {
            for (size_t at = 0; at + width <= n; at += width, ++index) {
                const uint32_t entry = width == 2 ? Le16(p + at) : Le32(p + at) & 0x0FFFFFFF;
                free += index >= 2 && entry == 0;
            }
        });
        if (!ok)
            return Fail(why, "the FAT cannot be read");
    }
    out->freeClusters = free;
    out->totalClusters = clusters;
    out->clusterBytes = static_cast<uint64_t>(perCluster) * kSector;
    return true;
}

// An exFAT volume's clusters, read through its FAT chains.
class ExFatChains {
public:
    ExFatChains(const SectorReader& read, const uint8_t* boot)
        : read_(read), fatStart_(Le32(boot + 80)), heap_(Le32(boot + 88)), count_(Le32(boot + 92)), shift_(boot[109])
    {
    }
    uint32_t ClusterCount() const { return count_; }
    uint64_t ClusterBytes() const { return static_cast<uint64_t>(kSector) << shift_; }

    // The next cluster of a chain; a cluster whose FAT entry names no valid
    // cluster is taken as the end of a contiguous run.
    bool Next(uint32_t cluster, uint32_t* next)
    {
        const uint64_t byte = static_cast<uint64_t>(cluster) * 4;
        const uint64_t sector = fatStart_ + byte / kSector;
        if (sector != cached_) {
            if (!read_(sector, 1, fatSector_))
                return false;
            cached_ = sector;
        }
        *next = Le32(fatSector_ + byte % kSector);
        return true;
    }
    bool Valid(uint32_t cluster) const { return cluster >= 2 && cluster - 2 < count_; }

    // Reads `bytes` bytes of the chain that starts at `first`.
    bool ReadChain(uint32_t first, uint64_t bytes, const std::function<void(const uint8_t*, size_t)>& take)
    {
        uint32_t cluster = first;
        while (bytes > 0) {
            if (!Valid(cluster))
                return false;
            const uint64_t part = std::min(bytes, ClusterBytes());
            const uint64_t sector = heap_ + (static_cast<uint64_t>(cluster - 2) << shift_);
            if (!ReadSpan(read_, sector, part, take))
                return false;
            bytes -= part;
            uint32_t next = 0;
            if (bytes > 0 && !Next(cluster, &next))
                return false;
            cluster = Valid(next) ? next : cluster + 1;
        }
        return true;
    }

private:
    const SectorReader& read_;
    uint32_t fatStart_, heap_, count_, shift_;
    uint64_t cached_ = UINT64_MAX;
    uint8_t fatSector_[kSector];
};

bool CountExFat(const SectorReader& read, const uint8_t* boot, FreeClusters* out, std::string* why)
{
    if (boot[108] != 9 || boot[109] > 25 - 9)
        return Fail(why, "the exFAT volume does not use 512-byte sectors");
    ExFatChains chains(read, boot);
    const uint32_t root = Le32(boot + 96);
    if (chains.ClusterCount() == 0 || !chains.Valid(root))
        return Fail(why, "the boot sector describes no exFAT volume");

    // The allocation bitmap's entry (type 0x81) sits in the root folder,
    // usually in its first cluster; a few clusters are searched.
    uint32_t bitmapStart = 0;
    uint64_t bitmapBytes = 0;
    bool ended = false;
    const uint64_t searched = std::min<uint64_t>(chains.ClusterBytes() * 4, 1u << 20);
    const bool ok = chains.ReadChain(root, searched, [&](const uint8_t* p, size_t n) {
        for (size_t at = 0; at + 32 <= n && !ended && bitmapStart == 0; at += 32) {
            const uint8_t type = p[at];
            ended = type == 0x00;
            if (type == 0x81 && (p[at + 1] & 1) == 0) {
                bitmapStart = Le32(p + at + 20);
                bitmapBytes = Le64(p + at + 24);
            }
        }
    });
    if (bitmapStart == 0)
        return Fail(why,
                    ok ? "the exFAT root folder holds no allocation bitmap" : "the exFAT root folder cannot be read");
    const uint64_t needed = (static_cast<uint64_t>(chains.ClusterCount()) + 7) / 8;
    if (bitmapBytes < needed)
        return Fail(why, "the exFAT allocation bitmap is smaller than the volume");

    uint64_t used = 0;
    uint64_t seen = 0;  // bytes of the bitmap handed over so far
    const bool bitmapRead = chains.ReadChain(bitmapStart, needed, [&](const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i, ++seen) {
            uint8_t byte = p[i];
            const uint64_t bitsLeft = chains.ClusterCount() - seen * 8;
            if (bitsLeft < 8)
                byte &= static_cast<uint8_t>((1u << bitsLeft) - 1);
            used += static_cast<uint64_t>(std::popcount(byte));
        }
    });
    if (!bitmapRead)
        return Fail(why, "the exFAT allocation bitmap cannot be read");
    out->totalClusters = chains.ClusterCount();
    out->freeClusters = out->totalClusters - used;
    out->clusterBytes = chains.ClusterBytes();
    return true;
}

}  // namespace

bool CountFreeClusters(const SectorReader& read, FreeClusters* out, std::string* why)
{
    uint8_t boot[kSector];
    if (!read(0, 1, boot))
        return Fail(why, "the boot sector cannot be read");
    FreeClusters result;
    const bool ok = std::memcmp(boot + 3, "EXFAT   ", 8) == 0 ? CountExFat(read, boot, &result, why)
                    : Le16(boot + 0x0B) == kSector            ? CountFat(read, boot, &result, why)
                                                              : Fail(why, "the volume does not use 512-byte sectors");
    if (ok && out)
        *out = result;
    return ok;
}

}  // namespace cardops
