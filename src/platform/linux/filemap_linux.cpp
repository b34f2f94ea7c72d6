#include "platform/filemap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

bool FileMap::Open(const std::string& path)
{
    Close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
        ::close(fd);
        return false;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    // The mapping stays valid without the descriptor.
    ::close(fd);
    if (view == MAP_FAILED)
        return false;
    view_ = view;
    size_ = size;
    return true;
}

void FileMap::Close()
{
    if (view_)
        ::munmap(view_, size_);
    view_ = nullptr;
    size_ = 0;
}

}  // namespace platform
