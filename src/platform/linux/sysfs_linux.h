// Small readers of sysfs and of kernel names, shared by the Linux files of the
// platform layer. Private to src/platform/linux and its tests.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform::linux_detail {

// The first line of a (sysfs) file without trailing white space; empty when
// it cannot be read.
std::string ReadFirstLine(const std::string& path);

// A decimal number without sign or blanks; false on anything else or overflow.
bool ParseUnsigned(const std::string& text, uint64_t* out);

// "8:17" -> device number.
bool ParseDevNumber(const std::string& text, dev_t* out);
// Device number -> "8:17".
std::string DevKey(dev_t dev);

// True when `name` looks like a kernel block device name (letters, digits,
// '-' and '_' only), so it can be joined to /dev/ and /sys/ paths safely.
bool IsPlainKernelName(const std::string& name);

// Kernel name of the whole disk a block device belongs to ("sdb" for "sdb1");
// empty when sysfs does not know the name.
std::string DiskOfBlock(const std::string& name);

// Logical sector size of a block device from sysfs (readable by every user);
// 0 when unknown.
uint32_t LogicalSectorSize(const std::string& name);

// Whether sysfs marks the block device `name` (or the disk it is part of) read-only.
bool SysfsReadOnly(const std::string& name);

// Natural order of kernel names: "sdb2" before "sdb10".
bool NameLess(const std::string& a, const std::string& b);

// A file as the kernel tells files apart: the device of its file system and
// its inode number.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
};

// What a loop device says of its backing file when asked directly
// (LOOP_GET_STATUS64); false when it cannot be asked (no rights on the node).
using LoopBackingQuery = std::function<bool(const std::string& loopName, FileId* out)>;

// The loop devices ("loop5") of the sysfs block folder `sysBlock` (normally
// /sys/block) that serve `file`. Each device is asked first; one that cannot
// be asked is judged by its loop/backing_file path, whose file is looked up
// with stat. Sorted in name order.
std::vector<std::string> LoopDevicesServing(const std::string& sysBlock, const FileId& file,
                                            const LoopBackingQuery& ask);

// The same for this machine: /sys/block, each device asked through its node.
std::vector<std::string> LoopDevicesServing(const FileId& file);

// Device nodes of kernel names for a message: "/dev/loop5, /dev/loop7".
std::string DeviceList(const std::vector<std::string>& names);

}  // namespace platform::linux_detail
