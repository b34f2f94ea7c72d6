// The listing of the direct backend: removable card volumes from sysfs, the
// mount table and a libblkid probe of each. Private to src/platform/linux and
// its tests; the rest of the program lists cards through CardAccess.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/volumes.h"

namespace platform::linux_detail {

// All removable volumes that are candidates for a card, in name order, with
// whatever file system they carry (callers filter on fsName).
std::vector<Volume> ListRemovableVolumes();

// Fresh information about one listed volume, with its device number, so
// that callers can check an opened descriptor is the device that was vetted;
// false when the name is not (or no longer) a removable card volume.
bool FindVolumeWithDev(const std::string& name, Volume* out, dev_t* dev);

// File-system name as the drive list shows it, from a type and version as
// libblkid and udev report them ("vfat"/"FAT32" -> "FAT32").
std::string FileSystemName(const std::string& type, const std::string& version);

// Values of one udev database file (/run/udev/data/bMAJ:MIN, readable by every
// user): the "E:KEY=VALUE" lines. Pure: takes the file's text.
std::vector<std::pair<std::string, std::string>> ParseUdevData(const std::string& text);

// Decodes the \xNN escapes of udev's *_ENC values ("NO\x20NAME" -> "NO NAME").
std::string DecodeUdevEscapes(const std::string& text);

}  // namespace platform::linux_detail
