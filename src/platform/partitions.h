// Finding a FAT or exFAT volume in a card image: a bare volume, or a whole
// card with an MBR or GPT partition table. Pure functions over bytes; the
// caller supplies the sectors through a reader, so nothing here does I/O.
// Sectors are 512 bytes throughout.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

constexpr uint32_t kImageSectorSize = 512;

// What a boot sector says about its volume.
struct BootSectorInfo {
    std::string fsName;         // "FAT" (FAT12/FAT16), "FAT32", "exFAT"; "" when none
    uint64_t totalSectors = 0;  // the volume's own size in 512-byte sectors
    std::string bpbLabel;       // FAT: the parameter block's label, trailing spaces removed
    // Where the root directory's first sectors lie, relative to the volume
    // (for the label entry); 0 count when unknown.
    uint64_t rootDirSector = 0;
    uint32_t rootDirSectors = 0;
};

// Reads the parameter block of sector 0 (512 bytes). FAT12/FAT16/FAT32 are
// told apart by the count of clusters, as the file system itself does; exFAT
// by its name field. Anything that is not a consistent boot sector gives an
// empty fsName.
BootSectorInfo ProbeBootSector(const uint8_t* sector);

// The volume label kept in a root directory's entries (FAT: the entry with
// the volume-label attribute; exFAT: the label entry), trailing spaces
// removed; "" when there is none among the bytes given.
std::string RootDirectoryLabel(const std::string& fsName, const uint8_t* entries, size_t size);

struct PartitionEntry {
    int number = 0;            // 1-based, as --partition counts
    uint64_t firstSector = 0;  // from the start of the image
    uint64_t sectorCount = 0;
    uint8_t mbrType = 0;  // MBR type byte; 0 for GPT entries
};

enum class TableKind { Bare, Mbr, Gpt, Unknown };

// Reads count sectors from first into out (count * 512 bytes); false when
// they are not all there.
using SectorReader = std::function<bool(uint64_t first, uint32_t count, uint8_t* out)>;

// The partition table of an image of imageSectors sectors. A bare volume
// (sector 0 is a FAT or exFAT boot sector) gives Bare and no entries. A GPT
// needs its protective MBR, the header signature and both CRCs. Entries that
// reach past the image are kept (the caller reports them). false with why
// when sector 0 is neither a boot sector nor a table.
bool ReadPartitionTable(const SectorReader& read, uint64_t imageSectors, TableKind* kind,
                        std::vector<PartitionEntry>* entries, std::string* why);

// Where the volume of an image lies.
struct LocatedVolume {
    int partition = 0;         // 0 for a bare volume
    uint64_t firstSector = 0;  // from the start of the image
    uint64_t sectorCount = 0;  // the partition (bare: the whole image)
    BootSectorInfo boot;
};

// partition 0: the bare volume, or else the first entry holding FAT or exFAT;
// N: entry N, which must hold FAT or exFAT. The volume's boot region (24
// sectors) and its partition must lie inside the image. false with why
// otherwise.
bool LocateVolume(const SectorReader& read, uint64_t imageSectors, int partition, LocatedVolume* out, std::string* why);

}  // namespace platform
