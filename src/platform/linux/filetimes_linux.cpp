#include "platform/filetimes.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace platform {

bool SetFileTime(const std::string& path, int64_t secondsSinceEpoch)
{
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(secondsSinceEpoch);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace platform
