// Listing of removable card volumes from sysfs, /proc/self/mountinfo and a
// libblkid probe of each volume. There is no dependence on a udev daemon.
//
// A disk is offered only when it is removable media or sits on a USB or SD
// bus (loop devices only when switched on), and never when it holds the root
// file system, another system path or swap.

#include "platform/linux/volumes_linux.h"

#include <blkid/blkid.h>
#include <errno.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/volumes.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

std::atomic<bool> g_includeLoop{false};

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

// "8:17" -> device number.
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
std::set<std::string> SystemDisks(const std::vector<linux_detail::MountEntry>& mounts)
{
    std::set<std::string> disks;
    struct stat st {};
    if (stat("/", &st) == 0)
        AddSystemDev(st.st_dev, &disks);
    for (const auto& m : mounts) {
        if (!linux_detail::IsSystemMountPoint(m.mountPoint))
            continue;
        AddSystemDev(makedev(m.major, m.minor), &disks);
        if (!m.source.empty() && m.source[0] == '/' && stat(m.source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            AddSystemDev(st.st_rdev, &disks);
    }
    std::ifstream swaps("/proc/swaps");
    std::stringstream text;
    text << swaps.rdbuf();
    for (const auto& file : linux_detail::ParseSwapFiles(text.str())) {
        if (stat(file.c_str(), &st) != 0)
            continue;
        AddSystemDev(S_ISBLK(st.st_mode) ? st.st_rdev : st.st_dev, &disks);
    }
    // Members of a RAID or device-mapper stack belong to whatever the stack
    // serves; writing to them underneath would corrupt it.
    std::error_code ec;
    for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string disk = it->path().filename().string();
        if (!linux_detail::IsPlainKernelName(disk))
            continue;
        bool stacked = linux_detail::IsStackDevice(disk) || linux_detail::HasHolders("/sys/block/" + disk);
        std::error_code pec;
        for (fs::directory_iterator p("/sys/block/" + disk, pec), pend; !stacked && !pec && p != pend;
             p.increment(pec)) {
            const std::string n = p->path().filename().string();
            std::error_code xec;
            if (n.rfind(disk, 0) == 0 && fs::exists(p->path() / "partition", xec))
                stacked = linux_detail::HasHolders(p->path().string());
        }
        if (stacked)
            disks.insert(disk);
    }
    return disks;
}

// Whether the whole disk is a candidate for a card at all.
bool IsCardDisk(const std::string& disk, bool* isLoop)
{
    *isLoop = false;
    std::error_code ec;
    fs::path real = fs::canonical("/sys/block/" + disk, ec);
    if (ec)
        return false;
    const std::string path = real.string();
    const bool isVirtual = path.find("/devices/virtual/") != std::string::npos;
    if (disk.rfind("loop", 0) == 0 && isVirtual) {
        *isLoop = true;
        return g_includeLoop.load();
    }
    if (isVirtual)
        return false;  // zram, device mapper, md, ram disks
    if (disk.rfind("sr", 0) == 0)
        return false;  // optical drives
    if (ReadFirstLine("/sys/block/" + disk + "/hidden") == "1")
        return false;

    const bool removable = ReadFirstLine("/sys/block/" + disk + "/removable") == "1";
    bool onUsb = false;
    bool onMmc = false;
    for (const auto& part : real) {
        const std::string p = part.string();
        if (p.size() > 3 && p.rfind("usb", 0) == 0 &&
            std::all_of(p.begin() + 3, p.end(), [](char c) { return c >= '0' && c <= '9'; }))
            onUsb = true;
        if (p == "mmc_host")
            onMmc = true;
    }
    if (onMmc) {
        // eMMC boot and replay-protected areas are never cards; built-in eMMC
        // storage reports type "MMC" and counts only when it says removable.
        if (disk.find("boot") != std::string::npos || disk.find("rpmb") != std::string::npos)
            return false;
        const std::string type = ReadFirstLine("/sys/block/" + disk + "/device/type");
        if (type == "SD")
            return true;
        return removable;
    }
    return removable || onUsb;
}

struct Candidate {
    std::string name;
    std::string disk;
    dev_t dev = 0;
    uint64_t sizeBytes = 0;
    uint32_t sectorSize = 0;
};

// Volumes of all card disks, from sysfs alone (nothing is opened).
std::vector<Candidate> EnumerateCandidates(const std::vector<linux_detail::MountEntry>& mounts)
{
    std::vector<Candidate> result;
    const std::set<std::string> systemDisks = SystemDisks(mounts);
    std::error_code ec;
    for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string disk = it->path().filename().string();
        if (!linux_detail::IsPlainKernelName(disk))
            continue;
        if (systemDisks.count(disk))
            continue;
        bool isLoop = false;
        if (!IsCardDisk(disk, &isLoop))
            continue;

        const std::string diskDir = "/sys/block/" + disk;
        uint64_t diskSectors = 0;
        if (!ParseUnsigned(ReadFirstLine(diskDir + "/size"), &diskSectors) || diskSectors == 0)
            continue;
        uint64_t logical = 0;
        if (!ParseUnsigned(ReadFirstLine(diskDir + "/queue/logical_block_size"), &logical) || logical == 0 ||
            logical > 65536)
            continue;

        std::vector<std::string> parts;
        std::error_code pec;
        for (fs::directory_iterator p(diskDir, pec), pend; !pec && p != pend; p.increment(pec)) {
            const std::string n = p->path().filename().string();
            if (n.rfind(disk, 0) == 0 && linux_detail::IsPlainKernelName(n) && fs::exists(p->path() / "partition", ec))
                parts.push_back(n);
        }
        auto add = [&](const std::string& name, const std::string& dir) {
            Candidate c;
            c.name = name;
            c.disk = disk;
            c.sectorSize = static_cast<uint32_t>(logical);
            uint64_t sectors = 0;
            if (!ParseUnsigned(ReadFirstLine(dir + "/size"), &sectors))
                return;
            // An extended partition shows as one or two sectors; it is only a container.
            if (sectors <= 2)
                return;
            if (!ParseDevNumber(ReadFirstLine(dir + "/dev"), &c.dev))
                return;
            c.sizeBytes = sectors * 512;  // sysfs counts 512-byte units whatever the sector size
            result.push_back(c);
        };
        if (parts.empty()) {
            add(disk, diskDir);
        } else {
            for (const auto& p : parts)
                add(p, diskDir + "/" + p);
        }
    }
    return result;
}

// Natural order: "sdb2" before "sdb10".
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

std::string ProbeValue(blkid_probe pr, const char* key)
{
    const char* data = nullptr;
    size_t len = 0;
    if (blkid_probe_lookup_value(pr, key, &data, &len) != 0 || data == nullptr)
        return {};
    std::string value(data, len);
    while (!value.empty() && value.back() == '\0')
        value.pop_back();
    return value;
}

// Reads label, file system and UUID from the volume itself. False when the
// device cannot be opened (no permission, medium gone); *openError then holds
// the reason (errno).
bool ProbeVolume(const std::string& device, std::string* label, std::string* fsName, std::string* uuid, int* openError)
{
    errno = 0;
    blkid_probe pr = blkid_new_probe_from_filename(device.c_str());
    if (pr == nullptr) {
        *openError = errno;
        return false;
    }
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION |
                                              BLKID_SUBLKS_UUID);
    blkid_probe_enable_partitions(pr, 0);
    const int rc = blkid_do_safeprobe(pr);
    label->clear();
    fsName->clear();
    uuid->clear();
    if (rc == 0) {
        *fsName = linux_detail::FileSystemName(ProbeValue(pr, "TYPE"), ProbeValue(pr, "VERSION"));
        *label = ProbeValue(pr, "LABEL");
        *uuid = ProbeValue(pr, "UUID");
    }
    blkid_free_probe(pr);
    return rc != -1;
}

void FillFromUdev(dev_t dev, std::string* label, std::string* fsName, std::string* uuid)
{
    std::ifstream in("/run/udev/data/b" + DevKey(dev));
    std::stringstream text;
    if (in)
        text << in.rdbuf();
    std::string type, version, plainLabel, encLabel;
    for (const auto& [key, value] : linux_detail::ParseUdevData(text.str())) {
        if (key == "ID_FS_TYPE")
            type = value;
        else if (key == "ID_FS_VERSION")
            version = value;
        else if (key == "ID_FS_LABEL")
            plainLabel = value;
        else if (key == "ID_FS_LABEL_ENC")
            encLabel = value;
        else if (key == "ID_FS_UUID")
            *uuid = value;
    }
    *fsName = type.empty() ? "?" : linux_detail::FileSystemName(type, version);
    *label = !encLabel.empty() ? linux_detail::DecodeUdevEscapes(encLabel) : plainLabel;
}

bool FillVolume(const Candidate& c, const std::vector<linux_detail::MountEntry>& mounts, Volume* out)
{
    const std::string device = "/dev/" + c.name;
    // The node must be the device sysfs describes; anything else is not touched.
    struct stat st {};
    if (stat(device.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) || st.st_rdev != c.dev)
        return false;
    Volume v;
    v.name = c.name;
    v.device = device;
    v.sizeBytes = c.sizeBytes;
    v.sectorSize = c.sectorSize;
    std::string uuid;
    int openError = 0;
    if (!ProbeVolume(device, &v.label, &v.fsName, &uuid, &openError)) {
        // A user without rights on the device still sees the card (sysfs is
        // readable by all): label and file system come from the udev
        // database when a udev daemon keeps one, else stay unknown ("?").
        // Opening it for a transfer then fails with words naming the card.
        if (openError != EACCES && openError != EPERM)
            return false;
        FillFromUdev(c.dev, &v.label, &v.fsName, &uuid);
    }
    const auto own = linux_detail::MountsOfDevice(mounts, c.dev);
    if (!own.empty()) {
        v.mountPoint = own.front().mountPoint;
        v.userSpaceMount = own.front().fsType == "fuseblk" || own.front().fsType.rfind("fuse", 0) == 0;
    }
    v.readOnly = linux_detail::SysfsReadOnly(c.name);
    v.identity = DevKey(c.dev) + ":" + std::to_string(c.sizeBytes) + ":" + uuid;
    *out = std::move(v);
    return true;
}

}  // namespace

namespace linux_detail {

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
    e.mountPoint = DecodeMountField(fields[4]);
    e.fsType = DecodeMountField(*(sep + 1));
    e.source = DecodeMountField(*(sep + 2));
    *out = std::move(e);
    return true;
}

std::vector<MountEntry> ReadMountInfo()
{
    std::vector<MountEntry> result;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        MountEntry e;
        if (ParseMountInfoLine(line, &e))
            result.push_back(std::move(e));
    }
    return result;
}

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

std::set<std::string> NeverListedDisks()
{
    try {
        return SystemDisks(ReadMountInfo());
    } catch (...) {
        return {};
    }
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

std::string FileSystemName(const std::string& type, const std::string& version)
{
    if (type == "vfat") {
        if (version == "FAT32")
            return "FAT32";
        if (version == "FAT12" || version == "FAT16")
            return "FAT";
        return type;
    }
    if (type == "exfat")
        return "exFAT";
    return type;
}

std::vector<std::pair<std::string, std::string>> ParseUdevData(const std::string& text)
{
    std::vector<std::pair<std::string, std::string>> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("E:", 0) != 0)
            continue;
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 2)
            continue;
        values.emplace_back(line.substr(2, eq - 2), line.substr(eq + 1));
    }
    return values;
}

std::string DecodeUdevEscapes(const std::string& text)
{
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hex(text[i + 2]) >= 0 &&
            hex(text[i + 3]) >= 0) {
            out.push_back(static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3])));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
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

bool SysfsReadOnly(const std::string& name)
{
    if (!IsPlainKernelName(name))
        return false;
    std::ifstream in("/sys/class/block/" + name + "/ro");
    int ro = 0;
    return (in >> ro) && ro != 0;
}

bool FindVolumeWithDev(const std::string& name, Volume* out, dev_t* dev)
{
    if (!IsPlainKernelName(name))
        return false;
    try {
        const auto mounts = ReadMountInfo();
        for (const auto& c : EnumerateCandidates(mounts)) {
            if (c.name != name)
                continue;
            Volume v;
            if (!FillVolume(c, mounts, &v))
                return false;
            if (out)
                *out = std::move(v);
            if (dev)
                *dev = c.dev;
            return true;
        }
    } catch (...) {
        // sysfs or memory trouble: the volume is simply not offered
    }
    return false;
}

}  // namespace linux_detail

void SetIncludeLoop(bool include)
{
    g_includeLoop.store(include);
}
bool IncludeLoop()
{
    return g_includeLoop.load();
}

std::vector<Volume> ListRemovableVolumes()
{
    std::vector<Volume> result;
    try {
        const auto mounts = linux_detail::ReadMountInfo();
        for (const auto& c : EnumerateCandidates(mounts)) {
            Volume v;
            if (FillVolume(c, mounts, &v))
                result.push_back(std::move(v));
        }
        std::sort(result.begin(), result.end(),
                  [](const Volume& a, const Volume& b) { return NameLess(a.name, b.name); });
    } catch (...) {
        result.clear();
    }
    return result;
}

bool FindVolume(const std::string& name, Volume* out)
{
    return linux_detail::FindVolumeWithDev(name, out, nullptr);
}

}  // namespace platform
