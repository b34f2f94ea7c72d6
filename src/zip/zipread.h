// TZipRead: a small read-only zip archive reader over a read-only mapping;
// TZipEntry: one entry of its list.
//
// Entry names: the reader hands out every name as UTF-8. Names flagged as
// UTF-8 (general purpose bit 11) are checked and kept, with each byte of an
// invalid sequence replaced by U+FFFD; all other names are read as code page
// 437, the OEM code page zip tools have always written (DecodeEntryName).
// Every "/" in a name becomes "\" before decoding.
//
// Only the stored (0) and deflated (8) methods are unpacked; entries with other
// methods or encryption are listed (so a check can refuse them) but do not
// extract. Zip64 archives (end record, locator and the 0x0001 extra field) and
// entries whose sizes and CRC-32 follow their data in a data descriptor
// (general purpose bit 3) are read. Split archives are not.
//
// Opening checks the archive's whole layout: every central header has its
// local header, the entries' data do not overlap each other or the central
// directory, the local and central headers agree (name bytes, the UTF-8 and
// data-descriptor flags, method, and sizes and CRC-32 where the local header
// holds them), and the directory holds exactly the counted entries. Anything
// else fails with "ZIP format": the list is either the archive's whole list,
// the one every zip tool shows, or none. Names are decoded by namedecode.h.
#pragma once

#include "platform/filemap.h"

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
    std::string Name;              // decoded (UTF-8), "/" turned into "\"; may be empty
    uint32_t DosDateTime() const;  // time in the low half, date in the high half

    // From the local header, or from the central header (Zip64 extra field
    // included) when bit 3 of Flags defers them to a data descriptor.
    uint16_t Method = 0;  // 0 stored, 8 deflated; anything else does not extract
    uint16_t Flags = 0;   // the local header's general purpose bit flag
    uint32_t Crc32 = 0;
    uint64_t CompressedSize = 0;  // bytes at Data (with an encryption header, if any)
    uint64_t UncompressedSize = 0;
    bool Encrypted = false;  // flag bit 0 or 6, or method 99: never extracts
};

// Messages Extract shows to the user ("CRC" with the entry name as caption;
// the inflate result code with caption "ZipRead"; for an encrypted entry or an
// unknown method, the reason in plain words with the entry name as caption,
// e.g. "it is encrypted"). The window shows them as
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

    // The entry's content, or "" for a bad index or a failed check. Holds the
    // whole entry in memory: for small entries. A failed check is shown
    // through the notifier.
    std::string Extract(int index);

    // Largest piece ExtractTo hands to its sink.
    static constexpr size_t kPieceSize = 256 * 1024;
    // Streams the entry's content to sink in pieces of at most kPieceSize bytes
    // (none for an empty entry), never holding the whole entry. Returns true
    // when the data inflated to exactly the declared size and CRC-32. Returns
    // false, with plain words in *why (may be null), on a bad index, an
    // encrypted entry, a method other than stored and deflated, damaged data,
    // a size or CRC-32 that does not match, or when sink returns false ("cannot
    // write"). Size and CRC-32 are known only at the end: pieces handed out
    // before a late failure are the caller's to throw away. Shows nothing
    // through the notifier and does not throw.
    bool ExtractTo(int index, const std::function<bool(const char* data, size_t size)>& sink, std::string* why);

private:
    // What extraction needs, kept apart from the public Entries.
    struct Item {
        const uint8_t* data = nullptr;
        uint64_t compressed = 0, uncompressed = 0;
        uint32_t crc = 0;
        uint16_t method = 0;
        bool encrypted = false;
        bool descriptor = false;  // bit 3: a data descriptor follows the data
        bool zip64 = false;       // the local header has a Zip64 extra field
        uint64_t room = 0;        // bytes after the data, up to the next record
    };
    enum class Fault { None, Index, Unsupported, Data, Sink, Memory };
    Fault Stream(size_t index, const std::function<bool(const char*, size_t)>& sink, std::string& why,
                 int& inflateCode);
    void Parse(const uint8_t* archive, size_t length);
    void Release();

    std::vector<Item> items_;

    platform::FileMap file_;  // the archive file, when read from one
};
