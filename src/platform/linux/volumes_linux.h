// Helpers shared by the Linux files of the platform layer. Not part of the
// portable interface: only src/platform/linux and its tests include this.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/volumes.h"

namespace platform::linux_detail {

// One line of /proc/self/mountinfo, with the escapes (\040 and the like) decoded.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string mountPoint;
    std::string fsType;
    std::string source;
};

// Turns the octal escapes the kernel writes for space, tab, newline and
// backslash ("\040") back into their characters; anything else stays as it is.
std::string DecodeMountField(const std::string& field);

// Parses one mountinfo line; false when the line is malformed.
bool ParseMountInfoLine(const std::string& line, MountEntry* out);

// All entries of /proc/self/mountinfo (empty when it cannot be read).
std::vector<MountEntry> ReadMountInfo();

// True for the paths whose disk must never be offered as a card.
bool IsSystemMountPoint(const std::string& path);

// True when `name` looks like a kernel block device name (letters, digits,
// '-' and '_' only), so it can be joined to /dev/ and /sys/ paths safely.
bool IsPlainKernelName(const std::string& name);

// Mount entries that belong to the block device `dev` (by device number, or
// by a source path that is the same device node).
std::vector<MountEntry> MountsOfDevice(const std::vector<MountEntry>& mounts, dev_t dev);

// FindVolume that also gives the device number, so that callers can check an
// opened descriptor is the device that was vetted.
bool FindVolumeWithDev(const std::string& name, Volume* out, dev_t* dev);

// Whether sysfs marks the block device `name` (or the disk it is part of) read-only.
bool SysfsReadOnly(const std::string& name);

// Unmounts every mount of the block device `dev` and waits (up to ten seconds)
// until no process holds it open any more, so that a file system in user space
// has written its last state before anything else touches the device.
bool UnmountDevice(dev_t dev, std::string* why);

// Absolute path of an installed system tool ("mkfs.fat"), empty when missing.
std::string FindTool(const std::string& name);

// Runs argv[0] (looked up with FindTool unless it is a path) with the given
// arguments, no shell, stdin from /dev/null; stdout and stderr together land
// in *output. Returns the exit status, -1 when it could not run or was killed.
int RunTool(const std::vector<std::string>& argv, std::string* output);

// Whether mkfs for fsName ("FAT32", "exFAT") accepts `label`; *why tells why not.
bool ValidFormatLabel(const std::string& fsName, const std::string& label, std::string* why);

}  // namespace platform::linux_detail
