#include "zip/entryname.h"

#include <vector>

namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

bool OnlyDotsAndSpaces(const std::string& segment)
{
    return segment.find_first_not_of(". ") == std::string::npos;
}

}  // namespace

bool SafeEntryPath(const std::string& name, std::string* relative, bool* isFolder)
{
    if (name.empty() || IsSeparator(name.front()))
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F || c == ':')
            return false;

    std::vector<std::string> segments;
    std::string current;
    for (char c : name) {
        if (!IsSeparator(c)) {
            current += c;
        } else if (!current.empty()) {
            segments.push_back(current);
            current.clear();
        }
    }
    if (!current.empty())
        segments.push_back(current);

    for (const std::string& segment : segments)
        if (OnlyDotsAndSpaces(segment))
            return false;

    const bool folder = IsSeparator(name.back());
    std::string joined;
    for (const std::string& segment : segments) {
        if (!joined.empty())
            joined += '/';
        joined += segment;
    }
    if (folder)
        joined += '/';
    if (relative)
        *relative = joined;
    if (isFolder)
        *isFolder = folder;
    return true;
}
