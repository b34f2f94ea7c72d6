// The disks no backend ever offers as cards: those holding the running
// system, its swap, or a RAID or device-mapper stack. Private to
// src/platform/linux and its tests.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "platform/linux/mountinfo_linux.h"

namespace platform::linux_detail {

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
// are themselves part of a RAID or device-mapper stack. `mounts` is the
// caller's reading of the mount table. Throws when they cannot be told; the
// caller then offers no card at all.
std::set<std::string> NeverListedDisks(const std::vector<MountEntry>& mounts);

}  // namespace platform::linux_detail
