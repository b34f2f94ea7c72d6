// File times that every file system driver takes.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Sets a file's last-access and last-write time to secondsSinceEpoch. Both
// are given: some drivers (exFAT in user space) mishandle a time left out.
bool SetFileTime(const std::string& path, int64_t secondsSinceEpoch);

}  // namespace platform
