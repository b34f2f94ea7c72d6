// Unmounting and formatting in the direct backend, and the runner of system
// tools they use. Private to src/platform/linux and its tests.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/cardaccess.h"

namespace platform::linux_detail {

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

// Words for a card whose identity is not (or no longer) `identity`.
std::string CardChangedText(const std::string& name);

// The direct backend's format: unmount the listed card `name`, check it is
// still the medium `identity`, and run mkfs.fat or mkfs.exfat on it.
FormatOutcome FormatDevice(const std::string& name, const std::string& identity, const std::string& fsName,
                           const std::string& label);

}  // namespace platform::linux_detail
