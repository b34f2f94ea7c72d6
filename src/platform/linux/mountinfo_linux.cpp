#include "platform/linux/mountinfo_linux.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/linux/sysfs_linux.h"

namespace platform::linux_detail {

std::string DecodeMountField(const std::string& field)
{
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool ParseMountInfoLine(const std::string& line, MountEntry* out)
{
    std::istringstream in(line);
    std::vector<std::string> fields;
    std::string f;
    while (in >> f)
        fields.push_back(f);
    // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
    auto sep = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 7 || sep == fields.end() || sep - fields.begin() < 6 || fields.end() - sep < 3)
        return false;
    dev_t dev = 0;
    if (!ParseDevNumber(fields[2], &dev))
        return false;
    MountEntry e;
    e.major = major(dev);
    e.minor = minor(dev);
    e.root = DecodeMountField(fields[3]);
    e.mountPoint = DecodeMountField(fields[4]);
    e.fsType = DecodeMountField(*(sep + 1));
    e.source = DecodeMountField(*(sep + 2));
    *out = std::move(e);
    return true;
}

std::vector<MountEntry> ParseMountInfo(const std::string& text)
{
    std::vector<MountEntry> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        MountEntry e;
        if (ParseMountInfoLine(line, &e))
            result.push_back(std::move(e));
    }
    return result;
}

std::vector<MountEntry> ReadMountInfo()
{
    std::ifstream in("/proc/self/mountinfo");
    std::stringstream text;
    text << in.rdbuf();
    return ParseMountInfo(text.str());
}

std::vector<MountEntry> MountsOfDevice(const std::vector<MountEntry>& mounts, dev_t dev)
{
    std::vector<MountEntry> own;
    for (const auto& m : mounts) {
        bool match = makedev(m.major, m.minor) == dev;
        if (!match && !m.source.empty() && m.source[0] == '/') {
            // FUSE mounts of the non-block kind carry an anonymous device
            // number; the source names the device they serve.
            struct stat st {};
            match = stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == dev;
        }
        if (match)
            own.push_back(m);
    }
    return own;
}

std::optional<MountEntry> CardRootMount(const std::vector<MountEntry>& deviceMounts,
                                        const std::vector<std::string>& preferred)
{
    std::optional<MountEntry> first;
    for (const auto& m : deviceMounts) {
        if (m.root != "/")
            continue;
        if (std::find(preferred.begin(), preferred.end(), m.mountPoint) != preferred.end())
            return m;
        if (!first)
            first = m;
    }
    return first;
}

bool IsUserSpaceMount(const MountEntry& mount)
{
    return mount.fsType.rfind("fuse", 0) == 0;
}

}  // namespace platform::linux_detail
