// The boot-record buffer of a card and the places of its marker strings.
//
// A camera starts an add-on only when the card's volume boot record carries
// "EOS_DEVELOP" in the volume-label place, "BOOTDISK" in the boot-string place
// and (for script autostart) "SCRIPT" in the script place. The places differ
// between FAT (FAT12/FAT16), FAT32 and exFAT. All offsets assume 512-byte
// sectors; volumes with other sector sizes are refused before a load.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace core {

constexpr int kVbrSize = 16384;
constexpr int kSectorSize = 512;
constexpr int kLoadSectors = 24;          // both exFAT boot regions
constexpr uint32_t kAltBootPos = 0x1E0;   // alternative boot-string place
constexpr uint32_t kFat32BootPos = 0x5C;  // FAT32 boot-string place (exFAT: file-system fields)

constexpr int kLabelWidth = 11;
constexpr int kBootWidth = 8;
constexpr int kScriptWidth = 6;

enum LayoutIndex : int { LayoutNone = -1, LayoutFat = 0, LayoutFat32 = 1, LayoutExFat = 2 };

struct Layout {
    int index = LayoutNone;
    uint32_t labelPos = 0;
    uint32_t bootPos = 0;
    uint32_t scriptPos = 0;
};

// The layout for a file-system name, compared exactly ("FAT", "FAT32",
// "exFAT"); any other name gives index -1 and all places 0.
Layout SelectLayout(const std::string& fsName);

// "0x" and three upper-case hexadecimal digits; empty for 0.
std::string OffsetCaption(uint32_t pos);

class BootRecord {
public:
    BootRecord() { VBR.fill(0); }

    std::array<uint8_t, kVbrSize> VBR;
    uint32_t LabelPos = 0;
    uint32_t BootPos = 0;
    uint32_t ScriptPos = 0;

    // The kept characters of count bytes from offset: "A" to "Z" and
    // "_012345678-." (9 is not kept); everything else is dropped.
    std::string GetVBRString(uint32_t offset, int count) const;
    // Writes exactly count bytes: text cut or padded with spaces. Unchanged
    // characters, no filtering.
    void SetVBRString(const std::string& text, uint32_t offset, int count);
    // 32-bit little-endian value at offset.
    void SetVBRDWord(uint32_t value, uint32_t offset);

    // The exFAT boot checksum of sectors 0 to 10 (bytes 106, 107, 112 left out).
    uint32_t ExFatChecksum(uint32_t firstByte = 0) const;
    // True when every word of the checksum sector that follows the boot
    // region at firstByte (0 for the main region, 12 * 512 for the backup)
    // holds that region's checksum.
    bool ExFatChecksumMatches(uint32_t firstByte = 0) const;
    // Fills the checksum sector 11 and copies sectors 0 and 11 to 12 and 23.
    // The backup checksum sector carries the checksum of the backup region's
    // own sectors 12 to 22 (the same value when both regions agree).
    void SealExFatBootRegion();

    // Before a write: on FAT and FAT32 at most one of 0x5C and 0x1E0 keeps a
    // boot string (the one BootPos names); on FAT a boot string at 0x1E0 also
    // clears the layout's place 0x40. On exFAT 0x5C..0x63 hold file-system
    // fields and are never touched; there a boot string at 0x1E0 clears the
    // layout's place 0x7A, and one at 0x7A clears 0x1E0 only when 0x1E0
    // carries "BOOTDISK" (otherwise it is boot code and stays).
    void ApplyPlacePair(int layoutIndex);

    // Number of sectors a save writes for a layout: 24 on exFAT, else 1.
    static int SaveSectorCount(int layoutIndex) { return layoutIndex == LayoutExFat ? kLoadSectors : 1; }
};

}  // namespace core
