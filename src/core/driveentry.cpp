#include "core/driveentry.h"

#include "core/textutil.h"

namespace core {

std::string SizeText(uint64_t sizeBytes)
{
    if (sizeBytes < 1000000000ULL)
        return std::to_string(sizeBytes / 1000000ULL) + " MB";
    // size / 10^9 + 0.1 == (size + 10^8) / 10^9, so the sum and its
    // half-to-even rounding are done exactly in integers.
    const uint64_t numerator = sizeBytes + 100000000ULL;
    const uint64_t whole = numerator / 1000000000ULL;
    const uint64_t rest = numerator % 1000000000ULL;
    uint64_t rounded = whole;
    if (rest > 500000000ULL || (rest == 500000000ULL && (whole % 2) == 1))
        rounded = whole + 1;
    return std::to_string(rounded) + " GB";
}

std::string EntryText(const std::string& name, const std::string& label, const std::string& fsName, uint64_t sizeBytes)
{
    return name + ": " + (label.empty() ? std::string("Removable Disk") : label) + " [" + fsName + "] " +
           SizeText(sizeBytes);
}

std::string EntryVolumeName(const std::string& entry)
{
    size_t at = entry.find(": ");
    return at == std::string::npos ? std::string() : entry.substr(0, at);
}

std::string EntryLabel(const std::string& entry)
{
    size_t at = entry.find(": ");
    size_t tag = entry.rfind(" [");
    if (at == std::string::npos || tag == std::string::npos || tag < at + 2)
        return std::string();
    return entry.substr(at + 2, tag - at - 2);
}

int ChooseEntry(const std::vector<std::string>& entries)
{
    if (entries.empty())
        return -1;
    if (entries.size() > 1) {
        for (const char* prefix : {"EOS_DIGITAL", "CANON"}) {
            for (size_t i = 0; i < entries.size(); ++i)
                if (StartsWith(EntryLabel(entries[i]), prefix))
                    return static_cast<int>(i);
        }
    }
    return 0;
}

bool IsCardFileSystem(const std::string& fsName)
{
    return fsName == "FAT" || fsName == "FAT32" || fsName == "exFAT";
}

}  // namespace core
