#include "platform/linux/systemdisks_linux.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/mountinfo_linux.h"
#include "platform/linux/sysfs_linux.h"

namespace fs = std::filesystem;

namespace platform::linux_detail {

namespace {

// Kernel name of a block device and the name of the whole disk it belongs to.
bool NamesOfDev(dev_t dev, std::string* name, std::string* disk)
{
    std::error_code ec;
    fs::path real = fs::canonical("/sys/dev/block/" + DevKey(dev), ec);
    if (ec)
        return false;
    *name = real.filename().string();
    if (fs::exists(real / "partition", ec))
        *disk = real.parent_path().filename().string();
    else
        *disk = *name;
    return !name->empty() && !disk->empty();
}

// Adds the disk of `dev` and, for stacked devices (device mapper, md), the
// disks underneath, so a card holding part of a system volume is excluded too.
void AddSystemDev(dev_t dev, std::set<std::string>* disks, int depth);

// A loop device is only as removable as the file behind it: a live system's
// root image lives on the medium it booted from, so that disk is added too.
void AddDiskWithSlaves(const std::string& name, std::set<std::string>* disks, int depth)
{
    if (depth > 16 || name.empty())
        return;
    std::error_code ec;
    fs::path real = fs::canonical("/sys/class/block/" + name, ec);
    if (ec)
        return;
    std::string disk = name;
    if (fs::exists(real / "partition", ec))
        disk = real.parent_path().filename().string();
    if (!disks->insert(disk).second)
        return;
    for (const fs::path& base : {real / "slaves", fs::path("/sys/block/" + disk + "/slaves")}) {
        for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec))
            AddDiskWithSlaves(it->path().filename().string(), disks, depth + 1);
    }
    if (disk.rfind("loop", 0) == 0) {
        const std::string backing = ReadFirstLine("/sys/block/" + disk + "/loop/backing_file");
        struct stat st {};
        if (!backing.empty() && stat(backing.c_str(), &st) == 0)
            AddSystemDev(st.st_dev, disks, depth + 1);
    }
}

void AddSystemDev(dev_t dev, std::set<std::string>* disks, int depth = 0)
{
    if (major(dev) == 0)
        return;  // anonymous devices (tmpfs, overlay) have no disk
    std::string name, disk;
    if (NamesOfDev(dev, &name, &disk))
        AddDiskWithSlaves(name, disks, depth);
}

// Disks that hold the root file system, a mounted system path or swap.
std::set<std::string> SystemDisks(const std::vector<MountEntry>& mounts)
{
    std::set<std::string> disks;
    struct stat st {};
    if (stat("/", &st) == 0)
        AddSystemDev(st.st_dev, &disks);
    for (const auto& m : mounts) {
        if (!IsSystemMountPoint(m.mountPoint))
            continue;
        AddSystemDev(makedev(m.major, m.minor), &disks);
        if (!m.source.empty() && m.source[0] == '/' && stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            AddSystemDev(st.st_rdev, &disks);
    }
    std::ifstream swaps("/proc/swaps");
    std::stringstream text;
    text << swaps.rdbuf();
    for (const auto& file : ParseSwapFiles(text.str())) {
        if (stat(file.c_str(), &st) != 0)
            continue;
        AddSystemDev(S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev, &disks);
    }
    // Members of a RAID or device-mapper stack belong to whatever the stack
    // serves; writing to them underneath would corrupt it.
    std::error_code ec;
    for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string disk = it->path().filename().string();
        if (!IsPlainKernelName(disk))
            continue;
        bool stacked = IsStackDevice(disk) || HasHolders("/sys/block/" + disk);
        std::error_code pec;
        for (fs::directory_iterator p("/sys/block/" + disk, pec), pend; !stacked && !pec && p != pend;
             p.increment(pec)) {
            const std::string n = p->path().filename().string();
            std::error_code xec;
            if (n.rfind(disk, 0) == 0 && fs::exists(p->path() / "partition", xec))
                stacked = HasHolders(p->path().string());
        }
        if (stacked)
            disks.insert(disk);
    }
    return disks;
}

}  // namespace

bool IsSystemMountPoint(const std::string& path)
{
    static const char* const kSystem[] = {"/",     "/boot", "/usr",  "/var", "/home",  "/etc", "/opt",  "/srv",
                                          "/root", "/bin",  "/sbin", "/lib", "/lib64", "/nix", "/snap", "/efi"};
    for (const char* s : kSystem)
        if (path == s)
            return true;
    // Anything below /boot (the EFI partition) and /usr is part of the system too.
    if (path.rfind("/boot/", 0) == 0 || path.rfind("/usr/", 0) == 0)
        return true;
    // The medium a live system runs from (and anything mounted below it).
    static const char* const kLive[] = {"/run/live/medium", "/lib/live/mount/medium", "/cdrom", "/run/initramfs/live",
                                        "/run/archiso/bootmnt"};
    for (const char* s : kLive) {
        const std::string base = s;
        if (path == base || path.rfind(base + "/", 0) == 0)
            return true;
    }
    return false;
}

std::vector<std::string> ParseSwapFiles(const std::string& procSwaps)
{
    std::vector<std::string> files;
    std::istringstream in(procSwaps);
    std::string line;
    bool header = true;
    while (std::getline(in, line)) {
        if (header) {  // "Filename Type Size Used Priority"
            header = false;
            continue;
        }
        std::istringstream fields(line);
        std::string file;
        if (fields >> file && file[0] == '/')
            files.push_back(DecodeMountField(file));
    }
    return files;
}

bool IsStackDevice(const std::string& name)
{
    auto numbered = [&](const std::string& prefix) {
        return name.size() > prefix.size() && name.rfind(prefix, 0) == 0 &&
               std::isdigit(static_cast<unsigned char>(name[prefix.size()]));
    };
    return numbered("dm-") || numbered("md");
}

bool HasHolders(const std::string& sysfsDir)
{
    std::error_code ec;
    fs::directory_iterator it(sysfsDir + "/holders", ec);
    return !ec && it != fs::directory_iterator();
}

std::set<std::string> NeverListedDisks(const std::vector<MountEntry>& mounts)
{
    return SystemDisks(mounts);
}

}  // namespace platform::linux_detail
