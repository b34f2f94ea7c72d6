// TZipRead: a small read-only zip archive reader over a read-only mapping.
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
    const uint8_t* LocalHeader = nullptr;  // at the field after the signature
    const uint8_t* Data = nullptr;
    const uint8_t* RawName = nullptr;
    std::string Name;  // decoded (UTF-8), "/" turned into "\"
    uint32_t DosDateTime() const;  // time in the low half, date in the high half
};

// Messages the reader shows to the user ("CRC" with the entry name as caption;
// the inflate result code with caption "ZipRead"). The window shows them as
// message boxes; tests observe them.
using ZipNotifier = std::function<void(const std::string& text, const std::string& caption)>;
void SetZipNotifier(ZipNotifier notifier);

class TZipRead {
public:
    explicit TZipRead(const std::string& fileName, uint64_t start = 0, uint64_t size = 0);
    TZipRead(const uint8_t* archive, size_t length);
    ~TZipRead();
    TZipRead(const TZipRead&) = delete;
    TZipRead& operator=(const TZipRead&) = delete;

    int EntryCount = 0;
    std::vector<TZipEntry> Entries;

    // The entry's content, or "" for a bad index or a failed check.
    std::string Extract(int index);
};
