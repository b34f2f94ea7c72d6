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
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/linux/mountinfo_linux.h"
#include "platform/linux/sysfs_linux.h"
#include "platform/linux/systemdisks_linux.h"

namespace fs = std::filesystem;

namespace platform {

namespace {

using namespace linux_detail;

std::atomic<bool> g_includeLoop{false};

// Whether the whole disk is a candidate for a card at all.
bool IsCardDisk(const std::string& disk)
{
    std::error_code ec;
    fs::path real = fs::canonical("/sys/block/" + disk, ec);
    if (ec)
        return false;
    const std::string path = real.string();
    const bool isVirtual = path.find("/devices/virtual/") != std::string::npos;
    if (disk.rfind("loop", 0) == 0 && isVirtual)
        return g_includeLoop.load();
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
    dev_t dev = 0;
    uint64_t sizeBytes = 0;
    uint32_t sectorSize = 0;
};

// Volumes of all card disks, from sysfs alone (nothing is opened).
std::vector<Candidate> EnumerateCandidates(const std::vector<MountEntry>& mounts)
{
    std::vector<Candidate> result;
    const std::set<std::string> systemDisks = NeverListedDisks(mounts);
    std::error_code ec;
    for (fs::directory_iterator it("/sys/block", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string disk = it->path().filename().string();
        if (!IsPlainKernelName(disk))
            continue;
        if (systemDisks.count(disk))
            continue;
        if (!IsCardDisk(disk))
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
            if (n.rfind(disk, 0) == 0 && IsPlainKernelName(n) && fs::exists(p->path() / "partition", ec))
                parts.push_back(n);
        }
        auto add = [&](const std::string& name, const std::string& dir) {
            Candidate c;
            c.name = name;
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
        *fsName = FileSystemName(ProbeValue(pr, "TYPE"), ProbeValue(pr, "VERSION"));
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
    for (const auto& [key, value] : ParseUdevData(text.str())) {
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
    *fsName = type.empty() ? "?" : FileSystemName(type, version);
    *label = !encLabel.empty() ? DecodeUdevEscapes(encLabel) : plainLabel;
}

bool FillVolume(const Candidate& c, const std::vector<MountEntry>& mounts, Volume* out)
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
    const auto own = MountsOfDevice(mounts, c.dev);
    if (const auto root = CardRootMount(own)) {
        v.mountPoint = root->mountPoint;
        v.userSpaceMount = IsUserSpaceMount(*root);
    }
    v.readOnly = SysfsReadOnly(c.name);
    v.identity = DevKey(c.dev) + ":" + std::to_string(c.sizeBytes) + ":" + uuid;
    *out = std::move(v);
    return true;
}

}  // namespace

namespace linux_detail {

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

std::vector<Volume> ListRemovableVolumes()
{
    std::vector<Volume> result;
    try {
        const auto mounts = ReadMountInfo();
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

}  // namespace linux_detail

void SetIncludeLoop(bool include)
{
    g_includeLoop.store(include);
}

bool IncludeLoop()
{
    return g_includeLoop.load();
}

}  // namespace platform
