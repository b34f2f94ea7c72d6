#include "zip/entryname.h"

#include <vector>

namespace {

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

// "." and ".." lead to this folder or the one above; any other name, dots in
// it or not, is a name.
bool MovesAround(const std::string& segment)
{
    return segment == "." || segment == "..";
}

}  // namespace

bool SafeEntryPath(const std::string& name, std::string* relative, bool* isFolder)
{
    if (name.empty() || IsSeparator(name.front()))
        return false;
    if (name.find(':') != std::string::npos)
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
        if (MovesAround(segment))
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
