#include "platform/cardfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace platform {

namespace {

void SetError(std::string* error, int code)
{
    if (error)
        *error = std::strerror(code);
}

}  // namespace

NewFile::NewFile(const std::string& path, Create how, Readers readers)
{
    // O_EXCL also refuses a link, dangling or not, in the file's place.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (how == Create::Exclusive ? O_EXCL : O_TRUNC);
    fd_ = ::open(path.c_str(), flags, readers == Readers::Everyone ? 0644 : 0600);
    if (fd_ < 0)
        error_ = std::strerror(errno);
}

NewFile::~NewFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool NewFile::Failed(int error)
{
    error_ = std::strerror(error);
    return false;
}

bool NewFile::Write(const void* data, size_t size)
{
    if (fd_ < 0)
        return Failed(EBADF);
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, next, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Failed(n < 0 ? errno : ENOSPC);
        next += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool NewFile::Flush()
{
    if (fd_ < 0)
        return Failed(EBADF);
    return ::fsync(fd_) == 0 || Failed(errno);
}

bool NewFile::Close()
{
    const int fd = fd_;
    fd_ = -1;
    if (fd < 0)
        return Failed(EBADF);
    return ::close(fd) == 0 || Failed(errno);
}

FileReader::FileReader(const std::string& path)
{
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        error_ = std::strerror(errno);
}

FileReader::~FileReader()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int64_t FileReader::Read(void* buffer, size_t size)
{
    if (fd_ < 0)
        return -1;
    ssize_t n;
    do
        n = ::read(fd_, buffer, size);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        error_ = std::strerror(errno);
    return n;
}

bool MakeFolder(const std::string& path, Readers readers, std::string* error)
{
    if (::mkdir(path.c_str(), readers == Readers::Everyone ? 0755 : 0700) == 0 || errno == EEXIST)
        return true;
    SetError(error, errno);
    return false;
}

bool FlushFolder(const std::string& path, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, errno);
        return false;
    }
    const bool flushed = ::fsync(fd) == 0;
    if (!flushed)
        SetError(error, errno);
    ::close(fd);
    return flushed;
}

bool RemoveFile(const std::string& path, std::string* error)
{
    // unlink, unlike remove(), never takes a folder.
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    SetError(error, errno);
    return false;
}

bool RemoveEmptyFolder(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    std::error_code ec;
    return std::filesystem::is_empty(path, ec) && !ec && ::rmdir(path.c_str()) == 0;
}

bool PlacementOf(const std::string& path, Links links, Placement* placement)
{
    struct statx sx {};
    const int flags = links == Links::Follow ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::statx(AT_FDCWD, path.c_str(), flags, STATX_BASIC_STATS, &sx) != 0)
        return false;
    placement->fileSystem = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    placement->mountRoot =
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    return true;
}

}  // namespace platform
