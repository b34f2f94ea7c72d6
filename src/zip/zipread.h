// TZipRead: a small read-only zip archive reader over a read-only mapping.
//
// Entry names: the reader hands out every name as UTF-8. Names flagged as
// UTF-8 (general purpose bit 11) are checked and kept, with each byte of an
// invalid sequence replaced by U+FFFD; all other names are read as code page
// 437, the OEM code page zip tools have always written, through the table in
// zipread.cpp. Every "/" in a name becomes "\" before decoding.
//
// Only the stored (0) and deflated (8) methods are read; Zip64 records, split
// archives and encryption are not supported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// Construction failures: what() is exactly "Missing File", "No ZIP found" or "ZIP format".
class ZipError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TZipEntry {
    // At the field after the local header's signature (version needed), so the
    // local header starts at LocalHeader - 4.
    const uint8_t* LocalHeader = nullptr;
    const uint8_t* Data = nullptr;
    const uint8_t* RawName = nullptr;
    std::string Name;  // decoded (UTF-8), "/" turned into "\"
    uint32_t DosDateTime() const;  // time in the low half, date in the high half
};

// Messages the reader shows to the user ("CRC" with the entry name as caption;
// the inflate result code with caption "ZipRead"). The window shows them as
// message boxes; tests observe them. An empty notifier restores the default,
// which prints "caption: text" to stderr.
using ZipNotifier = std::function<void(const std::string& text, const std::string& caption)>;
void SetZipNotifier(ZipNotifier notifier);

class TZipRead {
public:
    // Maps fileName read-only and reads the archive found at or after byte
    // `start`, within the first `size` bytes of the file (0 or more than the
    // file holds: the whole file). Offsets in the archive count from its first
    // local header signature.
    explicit TZipRead(const std::string& fileName, uint64_t start = 0, uint64_t size = 0);
    // Reads the archive held in [archive, archive + length); the bytes must
    // outlive the reader.
    TZipRead(const uint8_t* archive, size_t length);
    ~TZipRead();
    TZipRead(const TZipRead&) = delete;
    TZipRead& operator=(const TZipRead&) = delete;

    int EntryCount = 0;
    // The usable entries, in central-directory order; Entries.size() == EntryCount.
    std::vector<TZipEntry> Entries;

    // The entry's content, or "" for a bad index or a failed check.
    std::string Extract(int index);

private:
    void Parse(const uint8_t* archive, size_t length);
    void Release();

    int fd_ = -1;
    void* view_ = nullptr;
    size_t viewSize_ = 0;
};
