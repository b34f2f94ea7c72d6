// What the program knows of a card volume, and whether loop devices count as
// cards. Volumes are listed, read, written and formatted through CardAccess.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// A card is identified by its kernel name ("sdb1", "mmcblk0p1", "loop3").
struct Volume {
    std::string name;             // kernel name, e.g. "sdb1"
    std::string device;           // device node, e.g. "/dev/sdb1"
    std::string label;            // volume label, empty when it has none
    std::string fsName;           // "FAT", "FAT32", "exFAT", or what else was found ("" when unknown)
    uint64_t sizeBytes = 0;       // size of the volume in bytes
    uint32_t sectorSize = 0;      // logical sector size in bytes
    std::string mountPoint;       // where its file system's root is mounted, empty when it is not
    std::string identity;         // stable identity of the medium (device number, size, serial)
    bool userSpaceMount = false;  // mounted through a file system in user space (FUSE)
    bool readOnly = false;        // the medium or its device is write-protected
};

// Loop devices are listed only when this is switched on (--include-loop or
// FLINTOR_INCLUDE_LOOP=1); off by default.
void SetIncludeLoop(bool include);
bool IncludeLoop();

}  // namespace platform
