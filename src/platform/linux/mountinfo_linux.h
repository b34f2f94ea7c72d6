// The mount table as /proc/self/mountinfo gives it. Private to
// src/platform/linux and its tests.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform::linux_detail {

// One line of /proc/self/mountinfo, with the escapes (\040 and the like) decoded.
struct MountEntry {
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;  // the folder of the file system that is mounted ("/" for its own root)
    std::string mountPoint;
    std::string fsType;
    std::string source;
};

// Turns the octal escapes the kernel writes for space, tab, newline and
// backslash ("\040") back into their characters; anything else stays as it is.
std::string DecodeMountField(const std::string& field);

// Parses one mountinfo line; false when the line is malformed.
bool ParseMountInfoLine(const std::string& line, MountEntry* out);

// Every well-formed line of a mountinfo text, in its order.
std::vector<MountEntry> ParseMountInfo(const std::string& text);

// All entries of /proc/self/mountinfo (empty when it cannot be read).
std::vector<MountEntry> ReadMountInfo();

// Mount entries that belong to the block device `dev` (by device number, or
// by a source path that is the same device node).
std::vector<MountEntry> MountsOfDevice(const std::vector<MountEntry>& mounts, dev_t dev);

// Where a card's files are: among the mounts of its device, the first that
// shows the file system from its own root (root field "/"), one of
// `preferred` (mount points a service reports) first. A bind mount of a
// folder on the card is never the card's root. None when there is none: the
// card then counts as not mounted.
std::optional<MountEntry> CardRootMount(const std::vector<MountEntry>& deviceMounts,
                                        const std::vector<std::string>& preferred = {});

// Whether a mount's driver runs in user space (FUSE), which keeps its own
// copy of the boot sector.
bool IsUserSpaceMount(const MountEntry& mount);

}  // namespace platform::linux_detail
