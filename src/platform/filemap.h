// A read-only view of a whole file in memory, so a large archive is read
// where it lies instead of being copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class FileMap {
public:
    FileMap() = default;
    ~FileMap() { Close(); }
    FileMap(const FileMap&) = delete;
    FileMap& operator=(const FileMap&) = delete;

    // Maps the file; false (and nothing mapped) when it cannot be opened, is
    // not a regular file, is empty or cannot be mapped.
    bool Open(const std::string& path);
    void Close();

    const uint8_t* data() const { return static_cast<const uint8_t*>(view_); }
    size_t size() const { return size_; }

private:
    void* view_ = nullptr;
    size_t size_ = 0;
};

}  // namespace platform
