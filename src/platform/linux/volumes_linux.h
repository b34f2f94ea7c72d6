// Helpers shared by the Linux files of the platform layer. Not part of the
// portable interface: only src/platform/linux and its tests include this.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
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

// True for the paths whose disk must never be offered as a card: the system's
// own folders (/, /boot, /boot/efi, /usr, ...) and the medium a live system
// runs from (/run/live/medium, /cdrom, /run/initramfs/live).
bool IsSystemMountPoint(const std::string& path);

// The swap files and devices named in the text of /proc/swaps (escapes decoded).
std::vector<std::string> ParseSwapFiles(const std::string& procSwaps);

// Whether a block device is part of a RAID or device-mapper stack: its kernel
// name is an md or dm device, or its sysfs folder (/sys/class/block/NAME, given
// as `sysfsDir`) lists holders.
bool IsStackDevice(const std::string& name);
bool HasHolders(const std::string& sysfsDir);

// Whole disks that are never offered as cards by any backend: the disks
// holding /, a system path, a live system's medium or swap (through device
// mapper, md and loop devices down to the disks underneath), and disks that
// are themselves part of a RAID or device-mapper stack.
std::set<std::string> NeverListedDisks();

// Kernel name of the whole disk a block device belongs to ("sdb" for "sdb1");
// empty when sysfs does not know the name.
std::string DiskOfBlock(const std::string& name);

// Logical sector size of a block device from sysfs (readable by every user);
// 0 when unknown.
uint32_t LogicalSectorSize(const std::string& name);

// File-system name as the drive list shows it, from a type and version as
// libblkid and udev report them ("vfat"/"FAT32" -> "FAT32").
std::string FileSystemName(const std::string& type, const std::string& version);

// Values of one udev database file (/run/udev/data/bMAJ:MIN, readable by every
// user): the "E:KEY=VALUE" lines. Pure: takes the file's text.
std::vector<std::pair<std::string, std::string>> ParseUdevData(const std::string& text);

// Decodes the \xNN escapes of udev's *_ENC values ("NO\x20NAME" -> "NO NAME").
std::string DecodeUdevEscapes(const std::string& text);

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
