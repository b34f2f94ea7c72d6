#include "platform/linux/sysfs_linux.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace platform::linux_detail {

std::string ReadFirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

bool ParseUnsigned(const std::string& text, uint64_t* out)
{
    if (text.empty())
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        uint64_t next = value * 10 + static_cast<uint64_t>(c - '0');
        if (next / 10 != value)
            return false;
        value = next;
    }
    *out = value;
    return true;
}

bool ParseDevNumber(const std::string& text, dev_t* out)
{
    auto colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    uint64_t ma = 0, mi = 0;
    if (!ParseUnsigned(text.substr(0, colon), &ma) || !ParseUnsigned(text.substr(colon + 1), &mi))
        return false;
    if (ma > UINT_MAX || mi > UINT_MAX)
        return false;
    *out = makedev(static_cast<unsigned>(ma), static_cast<unsigned>(mi));
    return true;
}

std::string DevKey(dev_t dev)
{
    return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

bool IsPlainKernelName(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'))
            return false;
    }
    return true;
}

std::string DiskOfBlock(const std::string& name)
{
    if (!IsPlainKernelName(name))
        return {};
    std::error_code ec;
    fs::path real = fs::canonical("/sys/class/block/" + name, ec);
    if (ec)
        return {};
    if (fs::exists(real / "partition", ec))
        return real.parent_path().filename().string();
    return real.filename().string();
}

uint32_t LogicalSectorSize(const std::string& name)
{
    const std::string disk = DiskOfBlock(name);
    uint64_t logical = 0;
    if (disk.empty() || !ParseUnsigned(ReadFirstLine("/sys/block/" + disk + "/queue/logical_block_size"), &logical) ||
        logical == 0 || logical > 65536)
        return 0;
    return static_cast<uint32_t>(logical);
}

bool SysfsReadOnly(const std::string& name)
{
    if (!IsPlainKernelName(name))
        return false;
    std::ifstream in("/sys/class/block/" + name + "/ro");
    int ro = 0;
    return (in >> ro) && ro != 0;
}

bool NameLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t i2 = i, j2 = j;
            while (i2 < a.size() && std::isdigit(static_cast<unsigned char>(a[i2])))
                ++i2;
            while (j2 < b.size() && std::isdigit(static_cast<unsigned char>(b[j2])))
                ++j2;
            std::string na = a.substr(i, i2 - i), nb = b.substr(j, j2 - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = i2;
            j = j2;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::string> LoopDevicesServing(const std::string& sysBlock, const FileId& file,
                                            const LoopBackingQuery& ask)
{
    std::vector<std::string> serving;
    std::error_code ec;
    for (fs::directory_iterator it(sysBlock, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("loop", 0) != 0 || !IsPlainKernelName(name))
            continue;
        FileId backing;
        bool known = ask && ask(name, &backing);
        if (!known) {
            // Without rights on the node, the path the device was set up
            // with; a file deleted since then ("... (deleted)") or one out of
            // sight of this process is not found, and then serves nothing here.
            const std::string path = ReadFirstLine(it->path().string() + "/loop/backing_file");
            struct stat st {};
            known = !path.empty() && ::stat(path.c_str(), &st) == 0;
            if (known)
                backing = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
        }
        if (known && backing == file)
            serving.push_back(name);
    }
    std::sort(serving.begin(), serving.end(), NameLess);
    return serving;
}

std::vector<std::string> LoopDevicesServing(const FileId& file)
{
    const LoopBackingQuery ask = [](const std::string& name, FileId* out) {
        const int fd = ::open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return false;
        struct loop_info64 info {};
        const bool asked = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
        ::close(fd);
        if (!asked)
            return false;  // ENXIO: nothing attached
        // The kernel hands the device number over in its own 32-bit coding.
        const uint64_t d = info.lo_device;
        const unsigned ma = static_cast<unsigned>((d >> 8) & 0xfff);
        const unsigned mi = static_cast<unsigned>((d & 0xff) | ((d >> 12) & 0xfff00));
        *out = {static_cast<uint64_t>(makedev(ma, mi)), info.lo_inode};
        return true;
    };
    return LoopDevicesServing("/sys/block", file, ask);
}

std::string DeviceList(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "/dev/" : ", /dev/") + name;
    return text;
}

}  // namespace platform::linux_detail
