#include "platform/partitions.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

uint16_t U16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t U32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t U64(const uint8_t* p)
{
    return static_cast<uint64_t>(U32(p)) | (static_cast<uint64_t>(U32(p + 4)) << 32);
}

bool PowerOfTwo(uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

bool HasBootSignature(const uint8_t* s)
{
    return s[510] == 0x55 && s[511] == 0xAA;
}

std::string TrimRight(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

// Appends one UTF-16 code unit from the basic plane as UTF-8.
void AppendUtf8(std::string* out, uint16_t c)
{
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

BootSectorInfo ProbeExFat(const uint8_t* s)
{
    BootSectorInfo info;
    // Bytes per sector (as a shift) must be 512 here; the layout of the
    // markers assumes it.
    if (s[108] != 9 || s[109] > 25 || !HasBootSignature(s))
        return info;
    const uint64_t length = U64(s + 72);
    const uint32_t heap = U32(s + 88);
    const uint32_t clusters = U32(s + 92);
    const uint32_t root = U32(s + 96);
    if (length < 24 || heap == 0 || heap >= length || root < 2 || root - 2 >= clusters)
        return info;
    info.fsName = "exFAT";
    info.totalSectors = length;
    const uint32_t perCluster = 1u << s[109];
    info.rootDirSector = heap + static_cast<uint64_t>(root - 2) * perCluster;
    info.rootDirSectors = std::min<uint32_t>(perCluster, 8);
    return info;
}

}  // namespace

BootSectorInfo ProbeBootSector(const uint8_t* s)
{
    if (std::memcmp(s + 3, "EXFAT   ", 8) == 0)
        return ProbeExFat(s);
    BootSectorInfo info;
    if (!(s[0] == 0xEB || s[0] == 0xE9) || !HasBootSignature(s))
        return info;
    const uint32_t bytesPerSector = U16(s + 11);
    const uint32_t perCluster = s[13];
    const uint32_t reserved = U16(s + 14);
    const uint32_t fats = s[16];
    const uint32_t rootEntries = U16(s + 17);
    const uint32_t total16 = U16(s + 19);
    const uint32_t fatSize16 = U16(s + 22);
    const uint32_t total32 = U32(s + 32);
    const uint32_t fatSize32 = U32(s + 36);
    if (bytesPerSector != kImageSectorSize || !PowerOfTwo(perCluster) || reserved == 0 || fats == 0 || fats > 4)
        return info;
    const uint64_t fatSize = fatSize16 != 0 ? fatSize16 : fatSize32;
    const uint64_t total = total16 != 0 ? total16 : total32;
    const uint64_t rootSectors = (rootEntries * 32ull + bytesPerSector - 1) / bytesPerSector;
    const uint64_t meta = reserved + fats * fatSize + rootSectors;
    if (fatSize == 0 || total <= meta)
        return info;
    const uint64_t clusters = (total - meta) / perCluster;
    if (clusters < 65525) {
        info.fsName = "FAT";  // FAT12 and FAT16 share one marker layout
    } else {
        // FAT32 keeps its root directory in clusters and its FAT size in the
        // 32-bit field only.
        if (fatSize16 != 0 || rootEntries != 0)
            return info;
        info.fsName = "FAT32";
    }
    info.totalSectors = total;
    const bool fat32 = info.fsName == "FAT32";
    const int sigAt = fat32 ? 0x42 : 0x26;
    const int labelAt = fat32 ? 0x47 : 0x2B;
    if (s[sigAt] == 0x29) {
        const std::string label = TrimRight(std::string(reinterpret_cast<const char*>(s + labelAt), 11));
        if (label != "NO NAME")
            info.bpbLabel = label;
    }
    if (fat32) {
        const uint32_t root = U32(s + 44);
        if (root >= 2) {
            info.rootDirSector = reserved + fats * fatSize + static_cast<uint64_t>(root - 2) * perCluster;
            info.rootDirSectors = std::min<uint32_t>(perCluster, 8);
        }
    } else {
        info.rootDirSector = reserved + fats * fatSize;
        info.rootDirSectors = static_cast<uint32_t>(std::min<uint64_t>(rootSectors, 8));
    }
    return info;
}

std::string RootDirectoryLabel(const std::string& fsName, const uint8_t* entries, size_t size)
{
    for (size_t at = 0; at + 32 <= size; at += 32) {
        const uint8_t* e = entries + at;
        if (e[0] == 0x00)
            break;  // end of the directory
        if (fsName == "exFAT") {
            if (e[0] != 0x83)
                continue;
            const int count = std::min<int>(e[1], 11);
            std::string label;
            for (int i = 0; i < count; ++i)
                AppendUtf8(&label, U16(e + 2 + 2 * i));
            return TrimRight(label);
        }
        // FAT: the volume-label attribute alone (long-name pieces carry 0x0F).
        if (e[0] != 0xE5 && (e[11] & 0x3F) == 0x08)
            return TrimRight(std::string(reinterpret_cast<const char*>(e), 11));
    }
    return std::string();
}

namespace {

bool ReadGpt(const SectorReader& read, uint64_t imageSectors, std::vector<PartitionEntry>* entries, std::string* why)
{
    uint8_t header[kImageSectorSize];
    if (imageSectors < 2 || !read(1, 1, header)) {
        *why = "The image ends before its partition table header";
        return false;
    }
    if (std::memcmp(header, "EFI PART", 8) != 0) {
        *why = "The image's protective MBR announces a GPT, but sector 1 holds no GPT header";
        return false;
    }
    const uint32_t headerSize = U32(header + 12);
    if (headerSize < 92 || headerSize > kImageSectorSize) {
        *why = "The GPT header has an impossible size";
        return false;
    }
    uint8_t copy[kImageSectorSize];
    std::memcpy(copy, header, headerSize);
    std::memset(copy + 16, 0, 4);
    if (crc32(0L, copy, headerSize) != U32(header + 16)) {
        *why = "The GPT header's checksum does not match its content";
        return false;
    }
    const uint64_t entriesAt = U64(header + 72);
    const uint32_t count = U32(header + 80);
    const uint32_t entrySize = U32(header + 84);
    if (entrySize < 128 || entrySize % 8 != 0 || count == 0 || static_cast<uint64_t>(count) * entrySize > (1u << 20)) {
        *why = "The GPT header describes an impossible entry array";
        return false;
    }
    const uint64_t bytes = static_cast<uint64_t>(count) * entrySize;
    const uint32_t sectors = static_cast<uint32_t>((bytes + kImageSectorSize - 1) / kImageSectorSize);
    if (entriesAt < 2 || entriesAt > imageSectors || imageSectors - entriesAt < sectors) {
        *why = "The GPT's entry array lies beyond the end of the image";
        return false;
    }
    std::vector<uint8_t> array(static_cast<size_t>(sectors) * kImageSectorSize);
    if (!read(entriesAt, sectors, array.data())) {
        *why = "The GPT's entry array cannot be read";
        return false;
    }
    if (crc32(0L, array.data(), static_cast<uInt>(bytes)) != U32(header + 88)) {
        *why = "The GPT's entry array does not match its checksum";
        return false;
    }
    static const uint8_t unused[16] = {};
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = array.data() + static_cast<size_t>(i) * entrySize;
        if (std::memcmp(e, unused, 16) == 0)
            continue;
        const uint64_t first = U64(e + 32);
        const uint64_t last = U64(e + 40);
        if (last < first)
            continue;
        entries->push_back({static_cast<int>(i + 1), first, last - first + 1, 0});
    }
    return true;
}

}  // namespace

bool ReadPartitionTable(const SectorReader& read, uint64_t imageSectors, TableKind* kind,
                        std::vector<PartitionEntry>* entries, std::string* why)
{
    entries->clear();
    *kind = TableKind::Unknown;
    uint8_t s[kImageSectorSize];
    if (imageSectors < 1 || !read(0, 1, s)) {
        *why = "The image is shorter than one sector";
        return false;
    }
    if (!ProbeBootSector(s).fsName.empty()) {
        *kind = TableKind::Bare;
        return true;
    }
    if (!HasBootSignature(s)) {
        *why = "The image holds neither a FAT or exFAT volume nor a partition table";
        return false;
    }
    bool protective = false;
    std::vector<PartitionEntry> primary;
    for (int i = 0; i < 4; ++i) {
        const uint8_t* e = s + 446 + 16 * i;
        const uint8_t type = e[4];
        if (e[0] != 0x00 && e[0] != 0x80) {
            *why = "The image holds neither a FAT or exFAT volume nor a partition table";
            return false;
        }
        if (type == 0xEE)
            protective = true;
        const uint32_t first = U32(e + 8);
        const uint32_t count = U32(e + 12);
        if (type != 0 && count != 0)
            primary.push_back({i + 1, first, count, type});
    }
    if (protective) {
        *kind = TableKind::Gpt;
        return ReadGpt(read, imageSectors, entries, why);
    }
    *kind = TableKind::Mbr;
    *entries = primary;
    return true;
}

namespace {

bool ProbeAt(const SectorReader& read, uint64_t first, BootSectorInfo* info)
{
    uint8_t s[kImageSectorSize];
    if (!read(first, 1, s))
        return false;
    *info = ProbeBootSector(s);
    return !info->fsName.empty();
}

std::string Numbers(const std::vector<PartitionEntry>& entries)
{
    std::string text;
    for (const PartitionEntry& e : entries)
        text += (text.empty() ? "" : ", ") + std::to_string(e.number);
    return text;
}

}  // namespace

bool LocateVolume(const SectorReader& read, uint64_t imageSectors, int partition, LocatedVolume* out, std::string* why)
{
    TableKind kind = TableKind::Unknown;
    std::vector<PartitionEntry> entries;
    if (!ReadPartitionTable(read, imageSectors, &kind, &entries, why))
        return false;
    LocatedVolume found;
    if (kind == TableKind::Bare) {
        if (partition != 0) {
            *why = "The image is a bare volume without a partition table: it has no partition " +
                   std::to_string(partition);
            return false;
        }
        found.firstSector = 0;
        found.sectorCount = imageSectors;
        ProbeAt(read, 0, &found.boot);
    } else {
        const char* table = kind == TableKind::Gpt ? "GPT" : "MBR";
        const PartitionEntry* chosen = nullptr;
        if (partition != 0) {
            for (const PartitionEntry& e : entries)
                if (e.number == partition)
                    chosen = &e;
            if (chosen == nullptr) {
                *why = std::string("The image's ") + table + " has no partition " + std::to_string(partition) +
                       (entries.empty() ? std::string(" (it has none)") : " (it has " + Numbers(entries) + ")");
                return false;
            }
        } else {
            for (const PartitionEntry& e : entries) {
                BootSectorInfo info;
                if (e.firstSector < imageSectors && ProbeAt(read, e.firstSector, &info)) {
                    chosen = &e;
                    break;
                }
            }
            if (chosen == nullptr) {
                *why = std::string("No partition of the image's ") + table + " holds a FAT or exFAT volume";
                return false;
            }
        }
        if (chosen->firstSector >= imageSectors || imageSectors - chosen->firstSector < chosen->sectorCount) {
            *why = "Partition " + std::to_string(chosen->number) +
                   " reaches past the end of the image (is the file truncated?)";
            return false;
        }
        found.partition = chosen->number;
        found.firstSector = chosen->firstSector;
        found.sectorCount = chosen->sectorCount;
        if (!ProbeAt(read, chosen->firstSector, &found.boot)) {
            *why = "Partition " + std::to_string(chosen->number) + " holds no FAT or exFAT volume";
            return false;
        }
    }
    if (found.sectorCount < 24) {
        *why = "The volume is too small to hold a boot region of 24 sectors";
        return false;
    }
    if (found.boot.totalSectors > found.sectorCount) {
        *why = std::string(found.partition == 0 ? "The image" : "Partition " + std::to_string(found.partition)) +
               " is smaller than the " + found.boot.fsName + " volume it holds (is the file truncated?)";
        return false;
    }
    *out = found;
    return true;
}

}  // namespace platform
