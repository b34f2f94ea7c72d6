#include "zip/zipread.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint64_t kLocalSize = 30;
constexpr uint64_t kCentralSize = 46;
constexpr uint64_t kEndSize = 22;
// The end record is looked for in the last 450 bytes: room for a comment of up to 428 bytes.
constexpr uint64_t kEndSearch = 450;
constexpr uint16_t kUtf8Flag = 0x0800;

ZipNotifier& NotifierSlot()
{
    static ZipNotifier notifier;
    return notifier;
}

void Notify(const std::string& text, const std::string& caption)
{
    const ZipNotifier& notifier = NotifierSlot();
    if (notifier)
        notifier(text, caption);
    else
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

uint16_t Read16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Read32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Code page 437, bytes 0x80..0xFF, as Unicode code points. Bytes below 0x80 are ASCII.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

// Appends a code point below U+10000 as UTF-8 (all the table needs, plus U+FFFD).
void AppendUtf8(std::string& out, char16_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string Cp437ToUtf8(const std::string& raw)
{
    std::string out;
    out.reserve(raw.size() * 2);
    for (unsigned char c : raw) {
        if (c < 0x80)
            out += static_cast<char>(c);
        else
            AppendUtf8(out, kCp437High[c - 0x80]);
    }
    return out;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF are refused).
size_t Utf8SequenceLength(const std::string& s, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi)
        return 0;
    for (size_t k = 2; k < len; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    return len;
}

// Keeps well-formed UTF-8 and replaces each byte of a broken sequence by U+FFFD,
// so Name is always valid UTF-8.
std::string CleanUtf8(const std::string& raw)
{
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        const size_t len = Utf8SequenceLength(raw, i);
        if (len == 0) {
            AppendUtf8(out, 0xFFFD);
            ++i;
        } else {
            out.append(raw, i, len);
            i += len;
        }
    }
    return out;
}

std::string DecodeName(const uint8_t* bytes, size_t length, bool utf8)
{
    std::string raw(reinterpret_cast<const char*>(bytes), length);
    std::replace(raw.begin(), raw.end(), '/', '\\');
    return utf8 ? CleanUtf8(raw) : Cp437ToUtf8(raw);
}

// Deflate cannot expand one input byte into more than 1032 output bytes; the
// margin covers the stream's end. Capping the output there keeps a header that
// claims gigabytes from a few bytes of data from allocating them: such an entry
// fails its size check either way.
uint64_t MaxInflatedSize(uint64_t compressed)
{
    return compressed * 1040 + 65536;
}

}  // namespace

void SetZipNotifier(ZipNotifier notifier)
{
    NotifierSlot() = std::move(notifier);
}

uint32_t TZipEntry::DosDateTime() const
{
    // Local header offset 10; LocalHeader is at offset 4.
    return LocalHeader ? Read32(LocalHeader + 6) : 0;
}

TZipRead::TZipRead(const std::string& fileName, uint64_t start, uint64_t size)
{
    fd_ = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        throw ZipError("Missing File");
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        static_cast<uint64_t>(st.st_size) > SIZE_MAX) {
        Release();
        throw ZipError("Missing File");
    }
    viewSize_ = static_cast<size_t>(st.st_size);
    void* view = ::mmap(nullptr, viewSize_, PROT_READ, MAP_PRIVATE, fd_, 0);
    if (view == MAP_FAILED) {
        Release();
        throw ZipError("Missing File");
    }
    view_ = view;

    if (size == 0 || size > viewSize_)
        size = viewSize_;
    const auto* base = static_cast<const uint8_t*>(view_);
    // The archive starts at the first local header signature at or after
    // `start`: it may sit behind other data in the same file.
    const void* found = nullptr;
    if (start < size && size - start >= 5) {
        static const uint8_t signature[4] = {0x50, 0x4b, 0x03, 0x04};  // local header
        found = ::memmem(base + start, size - start - 1, signature, sizeof signature);
    }
    if (!found) {
        Release();
        throw ZipError("No ZIP found");
    }
    const auto* archive = static_cast<const uint8_t*>(found);
    try {
        Parse(archive, size - static_cast<size_t>(archive - base));
    } catch (...) {
        Release();
        throw;
    }
}

TZipRead::TZipRead(const uint8_t* archive, size_t length)
{
    Parse(archive, length);
}

TZipRead::~TZipRead()
{
    EntryCount = 0;
    Release();
}

void TZipRead::Release()
{
    if (view_) {
        ::munmap(view_, viewSize_);
        view_ = nullptr;
        viewSize_ = 0;
    }
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void TZipRead::Parse(const uint8_t* archive, size_t length)
{
    const uint64_t L = length;
    const auto fail = [] { return ZipError("ZIP format"); };
    if (!archive || L < kEndSize)
        throw fail();

    // The end record: searched backwards from the last place it fits.
    const uint8_t* end = nullptr;
    const uint64_t lowest = L > kEndSearch ? L - kEndSearch : 0;
    for (uint64_t pos = L - kEndSize;; --pos) {
        if (Read32(archive + pos) == kEndSignature) {
            end = archive + pos;
            break;
        }
        if (pos == lowest)
            break;
    }
    if (!end)
        throw fail();

    const uint64_t total = Read16(end + 10);
    uint64_t pos = Read32(end + 16);
    // All sums below are 64-bit over 16- and 32-bit fields, so none overflows.
    if (pos > L || total * kCentralSize > L - pos)
        throw fail();
    Entries.clear();
    Entries.reserve(static_cast<size_t>(total));

    for (uint64_t i = 0; i < total; ++i) {
        if (pos + kCentralSize > L)
            throw fail();
        const uint8_t* central = archive + pos;
        if (Read32(central) != kCentralSignature)
            throw fail();
        const uint64_t next = pos + kCentralSize + Read16(central + 28) + Read16(central + 30) +
                              Read16(central + 32);
        if (next > L)
            throw fail();

        const uint64_t localPos = Read32(central + 42);
        if (localPos + kLocalSize > L)
            throw fail();
        const uint8_t* local = archive + localPos;
        const uint16_t nameLength = Read16(local + 26);
        const uint64_t dataPos = localPos + kLocalSize + nameLength + Read16(local + 28);
        if (dataPos > L)
            throw fail();

        TZipEntry entry;
        entry.LocalHeader = local + 4;
        entry.RawName = local + kLocalSize;
        entry.Data = archive + dataPos;
        entry.Name = DecodeName(entry.RawName, nameLength, (Read16(local + 6) & kUtf8Flag) != 0);

        const uint16_t method = Read16(local + 8);
        if ((method == 0 || method == 8) && !entry.Name.empty()) {
            // Stored entries are copied by their uncompressed size, deflated
            // ones read by their compressed size.
            const uint64_t dataLength = method == 0 ? Read32(local + 22) : Read32(local + 18);
            if (dataPos + dataLength > L)
                throw fail();
            Entries.push_back(std::move(entry));
        }
        pos = next;
    }
    EntryCount = static_cast<int>(Entries.size());
}

std::string TZipRead::Extract(int index)
{
    if (static_cast<unsigned>(index) >= static_cast<unsigned>(EntryCount))
        return {};
    const TZipEntry& entry = Entries[static_cast<size_t>(index)];
    const uint8_t* local = entry.LocalHeader - 4;
    const uint16_t method = Read16(local + 8);
    const uint32_t crc = Read32(local + 14);
    const uint32_t compressed = Read32(local + 18);
    const uint32_t uncompressed = Read32(local + 22);

    std::string result;
    uint64_t produced = 0;
    if (method == 0) {
        result.assign(reinterpret_cast<const char*>(entry.Data), uncompressed);
        produced = uncompressed;
    } else {
        result.resize(static_cast<size_t>(std::min<uint64_t>(uncompressed, MaxInflatedSize(compressed))));
        z_stream stream {};
        int rc = inflateInit2(&stream, -MAX_WBITS);
        if (rc == Z_OK) {
            stream.next_in = const_cast<Bytef*>(entry.Data);
            stream.avail_in = compressed;
            stream.next_out = reinterpret_cast<Bytef*>(result.data());
            stream.avail_out = static_cast<uInt>(result.size());
            rc = inflate(&stream, Z_FINISH);
            produced = stream.total_out;
            inflateEnd(&stream);
        }
        if (rc == Z_MEM_ERROR)
            throw std::bad_alloc();
        if (rc != Z_OK && rc != Z_STREAM_END)
            Notify(std::to_string(rc), "ZipRead");
    }

    if (produced != uncompressed ||
        crc32(0, reinterpret_cast<const Bytef*>(result.data()), static_cast<uInt>(produced)) != crc) {
        Notify("CRC", entry.Name);
        return {};
    }
    return result;
}
