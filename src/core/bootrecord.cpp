#include "core/bootrecord.h"

#include <cstdio>
#include <cstring>

namespace core {

namespace {
constexpr uint32_t kExFatBootPos = 0x7A;
constexpr uint32_t kFatBootPos = 0x40;

bool Kept(uint8_t c)
{
    if (c >= 'A' && c <= 'Z')
        return true;
    static const char kExtra[] = "_012345678-.";
    return c != 0 && std::strchr(kExtra, c) != nullptr;
}
}  // namespace

Layout SelectLayout(const std::string& fsName)
{
    if (fsName == "FAT")
        return {LayoutFat, 0x2B, 0x40, 0x1F0};
    if (fsName == "FAT32")
        return {LayoutFat32, 0x47, 0x5C, 0x1F0};
    if (fsName == "exFAT")
        return {LayoutExFat, 0x82, kExFatBootPos, 0};
    return {};
}

std::string OffsetCaption(uint32_t pos)
{
    if (pos == 0)
        return std::string();
    char text[16];
    std::snprintf(text, sizeof text, "0x%03X", static_cast<unsigned>(pos));
    return text;
}

std::string BootRecord::GetVBRString(uint32_t offset, int count) const
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        uint32_t at = offset + static_cast<uint32_t>(i);
        if (at >= VBR.size())
            break;
        if (Kept(VBR[at]))
            text.push_back(static_cast<char>(VBR[at]));
    }
    return text;
}

void BootRecord::SetVBRString(const std::string& text, uint32_t offset, int count)
{
    std::string padded = text + std::string(11, ' ');
    if (padded.size() < static_cast<size_t>(count))
        padded.append(static_cast<size_t>(count) - padded.size(), ' ');
    for (int i = 0; i < count; ++i) {
        uint32_t at = offset + static_cast<uint32_t>(i);
        if (at < VBR.size())
            VBR[at] = static_cast<uint8_t>(padded[static_cast<size_t>(i)]);
    }
}

void BootRecord::SetVBRDWord(uint32_t value, uint32_t offset)
{
    for (uint32_t i = 0; i < 4 && offset + i < VBR.size(); ++i)
        VBR[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t BootRecord::ExFatChecksum(uint32_t firstByte) const
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 11 * kSectorSize; ++i) {
        if (i == 106 || i == 107 || i == 112)
            continue;
        sum = ((sum >> 1) | (sum << 31)) + VBR[firstByte + i];
    }
    return sum;
}

bool BootRecord::ExFatChecksumMatches(uint32_t firstByte) const
{
    const uint32_t sum = ExFatChecksum(firstByte);
    const uint32_t at = firstByte + 11 * kSectorSize;
    for (uint32_t k = 0; k < kSectorSize / 4; ++k) {
        const uint8_t* w = VBR.data() + at + 4 * k;
        const uint32_t word = static_cast<uint32_t>(w[0]) | static_cast<uint32_t>(w[1]) << 8 |
                              static_cast<uint32_t>(w[2]) << 16 | static_cast<uint32_t>(w[3]) << 24;
        if (word != sum)
            return false;
    }
    return true;
}

void BootRecord::SealExFatBootRegion()
{
    const uint32_t mainSum = ExFatChecksum(0);
    for (uint32_t k = 0; k < 128; ++k)
        SetVBRDWord(mainSum, 11 * kSectorSize + 4 * k);
    std::memcpy(&VBR[12 * kSectorSize], &VBR[0], kSectorSize);
    // The backup region is checked against its own sectors 12 to 22, which
    // may differ from the main ones in sectors 13 to 22.
    const uint32_t backupSum = ExFatChecksum(12 * kSectorSize);
    for (uint32_t k = 0; k < 128; ++k)
        SetVBRDWord(backupSum, 23 * kSectorSize + 4 * k);
}

void BootRecord::ApplyPlacePair(int layoutIndex)
{
    const std::string blank(kBootWidth, ' ');
    if (layoutIndex == LayoutExFat) {
        // 0x5C..0x63 are file-system fields on exFAT and are never touched.
        // With the boot place at 0x1E0 the layout's place 0x7A is cleared, so
        // that a string left there cannot start the card once 0x1E0 is
        // cleared. With the boot place at 0x7A, 0x1E0 is boot code: it is
        // cleared only when it carries the boot string (left from a load that
        // found it there), never otherwise.
        if (BootPos == kAltBootPos)
            SetVBRString(blank, kExFatBootPos, kBootWidth);
        else if (BootPos == kExFatBootPos && GetVBRString(kAltBootPos, kBootWidth) == "BOOTDISK")
            SetVBRString(blank, kAltBootPos, kBootWidth);
        return;
    }
    if (layoutIndex != LayoutFat && layoutIndex != LayoutFat32)
        return;
    if (BootPos == kAltBootPos) {
        SetVBRString(blank, kFat32BootPos, kBootWidth);
        // On FAT the layout's own place 0x40 is boot code too; a string left
        // there would come back as the boot place at the next load.
        if (layoutIndex == LayoutFat)
            SetVBRString(blank, kFatBootPos, kBootWidth);
    } else if (BootPos == kFat32BootPos) {
        SetVBRString(blank, kAltBootPos, kBootWidth);
    }
}

}  // namespace core
