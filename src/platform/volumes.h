// Removable volumes, raw sector transfers and formatting.
//
// A card is identified by its kernel name ("sdb1", "mmcblk0p1", "loop3").
// Every operation looks the name up again and refuses anything that is not
// a removable card the listing would show, so nothing is ever read from or
// written to a disk the user did not choose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct Volume {
    std::string name;             // kernel name, e.g. "sdb1"
    std::string device;           // device node, e.g. "/dev/sdb1"
    std::string label;            // volume label, empty when it has none
    std::string fsName;           // "FAT", "FAT32", "exFAT", or what else was found ("" when unknown)
    uint64_t sizeBytes = 0;       // size of the volume in bytes
    uint32_t sectorSize = 0;      // logical sector size in bytes
    std::string mountPoint;       // where it is mounted, empty when it is not
    std::string identity;         // stable identity of the medium (device number, size, serial)
    bool userSpaceMount = false;  // mounted through a file system in user space (FUSE)
    bool readOnly = false;        // the medium or its device is write-protected
};

// Loop devices are listed only when this is switched on (--include-loop or
// FLINTOR_INCLUDE_LOOP=1); off by default.
void SetIncludeLoop(bool include);
bool IncludeLoop();

// All removable volumes that are candidates for a card, in name order, with
// whatever file system they carry (callers filter on fsName).
std::vector<Volume> ListRemovableVolumes();

// Fresh information about one listed volume; false when the name is not (or no
// longer) a removable card volume.
bool FindVolume(const std::string& name, Volume* out);

// Raw transfers of whole logical sectors at first * sectorSize. True only when
// exactly count sectors were moved; a write is followed by fsync. Never throws.
// The buffer must hold count * sectorSize bytes (bufferSize is checked).
bool ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer, size_t bufferSize);
bool WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer, size_t bufferSize);

// Result codes of a format, as the window expects them.
enum FormatResult : int {
    FormatNotFormatable = -3,
    FormatCancelled = -2,
    FormatError = -1,
    FormatDone = 0,
};

// Unmounts the volume and writes a new file system ("FAT32" or "exFAT") with
// the given label. Refuses (FormatNotFormatable) anything that is not a listed
// removable card. errorText receives the reason of a failure.
int FormatVolume(const std::string& name, const std::string& fsName, const std::string& label, std::string* errorText);

}  // namespace platform
