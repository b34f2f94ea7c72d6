#include "zip/zipread.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint32_t kDescriptorSignature = 0x08074b50;
constexpr uint64_t kLocalSize = 30;
constexpr uint64_t kCentralSize = 46;
constexpr uint64_t kEndSize = 22;
constexpr uint64_t kZip64LocatorSize = 20;
constexpr uint64_t kZip64EndSize = 56;
constexpr uint64_t kShortDescriptor = 12;  // crc-32 and two 4-byte sizes, no signature
constexpr uint16_t kZip64ExtraId = 0x0001;
constexpr uint16_t kMax16 = 0xFFFF;
constexpr uint32_t kMax32 = 0xFFFFFFFF;
constexpr uint16_t kEncryptedFlag = 0x0001;
constexpr uint16_t kStrongEncryptionFlag = 0x0040;
constexpr uint16_t kDescriptorFlag = 0x0008;
constexpr uint16_t kAesMethod = 99;
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
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t Read64(const uint8_t* p)
{
    return Read32(p) | (static_cast<uint64_t>(Read32(p + 4)) << 32);
}

// The data of the Zip64 extended-information extra field (0x0001) in an extra
// area, or nullptr; *size gets its length. A malformed area ends the search.
const uint8_t* FindZip64Extra(const uint8_t* extra, uint64_t length, uint64_t* size)
{
    for (uint64_t at = 0; at + 4 <= length;) {
        const uint16_t id = Read16(extra + at);
        const uint64_t blockSize = Read16(extra + at + 2);
        if (blockSize > length - at - 4)
            return nullptr;
        if (id == kZip64ExtraId) {
            *size = blockSize;
            return extra + at + 4;
        }
        at += 4 + blockSize;
    }
    return nullptr;
}

// Reads the Zip64 extra field's values in their order, each only for a header
// field that holds its "see Zip64" mark. False when a needed value is missing.
class Zip64Values {
public:
    Zip64Values(const uint8_t* extra, uint64_t length) { data_ = FindZip64Extra(extra, length, &size_); }
    bool Present() const { return data_ != nullptr; }
    bool Take(uint64_t* value, bool needed, int width = 8)
    {
        if (!needed)
            return true;
        if (!data_ || size_ - at_ < static_cast<uint64_t>(width))
            return false;
        *value = width == 8 ? Read64(data_ + at_) : Read32(data_ + at_);
        at_ += static_cast<uint64_t>(width);
        return true;
    }

private:
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0, at_ = 0;
};

const char* MethodName(uint16_t method)
{
    switch (method) {
    case 9:
        return "Deflate64";
    case 12:
        return "bzip2";
    case 14:
        return "LZMA";
    case 93:
        return "Zstandard";
    case 95:
        return "XZ";
    case 98:
        return "PPMd";
    default:
        return nullptr;
    }
}

// Code page 437, bytes 0x80..0xFF, as Unicode code points. Bytes below 0x80 are ASCII.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
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
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
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
    const uint64_t endPos = static_cast<uint64_t>(end - archive);

    uint64_t disk = Read16(end + 4), directoryDisk = Read16(end + 6);
    uint64_t onDisk = Read16(end + 8), total = Read16(end + 10);
    uint64_t directorySize = Read32(end + 12), directoryPos = Read32(end + 16);
    uint64_t directoryLimit = endPos;  // the directory ends at or before this

    // A Zip64 locator right before the end record leads to the Zip64 end
    // record, whose values replace the end record's. A value the end record
    // holds in full must agree with it.
    if (endPos >= kZip64LocatorSize && Read32(end - kZip64LocatorSize) == kZip64LocatorSignature) {
        const uint8_t* locator = end - kZip64LocatorSize;
        const uint64_t locatorPos = endPos - kZip64LocatorSize;
        const uint64_t recordPos = Read64(locator + 8);
        const uint32_t disks = Read32(locator + 16);
        if (Read32(locator + 4) != 0 || disks > 1 || recordPos > locatorPos || locatorPos - recordPos < kZip64EndSize)
            throw fail();
        const uint8_t* record = archive + recordPos;
        const uint64_t recordSize = Read64(record + 4);  // what follows the size field
        if (Read32(record) != kZip64EndSignature || recordSize < kZip64EndSize - 12 ||
            recordSize > locatorPos - recordPos - 12)
            throw fail();
        const uint64_t disk64 = Read32(record + 16), directoryDisk64 = Read32(record + 20);
        const uint64_t onDisk64 = Read64(record + 24), total64 = Read64(record + 32);
        const uint64_t size64 = Read64(record + 40), pos64 = Read64(record + 48);
        const auto agrees = [](uint64_t value, uint64_t mark, uint64_t value64) {
            return value == mark || value == value64;
        };
        if (!agrees(disk, kMax16, disk64) || !agrees(directoryDisk, kMax16, directoryDisk64) ||
            !agrees(onDisk, kMax16, onDisk64) || !agrees(total, kMax16, total64) ||
            !agrees(directorySize, kMax32, size64) || !agrees(directoryPos, kMax32, pos64))
            throw fail();
        disk = disk64;
        directoryDisk = directoryDisk64;
        onDisk = onDisk64;
        total = total64;
        directorySize = size64;
        directoryPos = pos64;
        directoryLimit = recordPos;
    }
    // One disk only; the directory inside the archive, before the end records,
    // with room for every counted header.
    if (disk != 0 || directoryDisk != 0 || onDisk != total || directoryPos > directoryLimit ||
        directorySize > directoryLimit - directoryPos || total > directorySize / kCentralSize ||
        total > static_cast<uint64_t>(INT_MAX))
        throw fail();
    const uint64_t directoryEnd = directoryPos + directorySize;

    Entries.clear();
    items_.clear();
    Entries.reserve(static_cast<size_t>(total));
    items_.reserve(static_cast<size_t>(total));
    std::vector<std::pair<uint64_t, uint64_t>> spans;  // local header offset, end of data (and descriptor)
    spans.reserve(static_cast<size_t>(total));

    // All sums below are 64-bit over values bounded by L, so none overflows.
    uint64_t pos = directoryPos;
    for (uint64_t i = 0; i < total; ++i) {
        if (directoryEnd - pos < kCentralSize)
            throw fail();
        const uint8_t* central = archive + pos;
        if (Read32(central) != kCentralSignature)
            throw fail();
        const uint64_t centralName = Read16(central + 28), centralExtra = Read16(central + 30);
        const uint64_t next = pos + kCentralSize + centralName + centralExtra + Read16(central + 32);
        if (next > directoryEnd)
            throw fail();

        const uint16_t centralFlags = Read16(central + 8);
        const uint16_t centralMethod = Read16(central + 10);
        const uint32_t centralCrc = Read32(central + 16);
        uint64_t centralCompressed = Read32(central + 20), centralSize = Read32(central + 24);
        uint64_t localPos = Read32(central + 42), startDisk = Read16(central + 34);
        Zip64Values central64(central + kCentralSize + centralName, centralExtra);
        if (!central64.Take(&centralSize, centralSize == kMax32) ||
            !central64.Take(&centralCompressed, centralCompressed == kMax32) ||
            !central64.Take(&localPos, localPos == kMax32) || !central64.Take(&startDisk, startDisk == kMax16, 4) ||
            startDisk != 0)
            throw fail();

        // The local header lies before the directory.
        if (localPos > directoryPos || directoryPos - localPos < kLocalSize)
            throw fail();
        const uint8_t* local = archive + localPos;
        if (Read32(local) != kLocalSignature)
            throw fail();
        const uint16_t flags = Read16(local + 6);
        const uint16_t method = Read16(local + 8);
        const uint64_t nameLength = Read16(local + 26), extraLength = Read16(local + 28);
        const uint64_t dataPos = localPos + kLocalSize + nameLength + extraLength;
        if (dataPos > directoryPos)
            throw fail();
        Zip64Values local64(local + kLocalSize + nameLength, extraLength);

        Item item;
        item.data = archive + dataPos;
        item.method = method;
        item.descriptor = (flags & kDescriptorFlag) != 0;
        item.zip64 = local64.Present();
        item.encrypted =
            ((flags | centralFlags) & (kEncryptedFlag | kStrongEncryptionFlag)) != 0 || method == kAesMethod;
        if (item.descriptor) {
            // The local header holds zeros: the directory has the values, the
            // descriptor after the data repeats them.
            item.crc = centralCrc;
            item.compressed = centralCompressed;
            item.uncompressed = centralSize;
        } else {
            uint64_t compressed = Read32(local + 18), size = Read32(local + 22);
            if (!local64.Take(&size, size == kMax32) || !local64.Take(&compressed, compressed == kMax32))
                throw fail();
            if (Read32(local + 14) != centralCrc || compressed != centralCompressed || size != centralSize)
                throw fail();
            item.crc = centralCrc;
            item.compressed = compressed;
            item.uncompressed = size;
        }
        if (method != centralMethod || item.compressed > directoryPos - dataPos)
            throw fail();
        const uint64_t dataEnd = dataPos + item.compressed;
        // A descriptor needs at least its short form after the data.
        const uint64_t spanEnd = dataEnd + (item.descriptor ? kShortDescriptor : 0);
        if (spanEnd > directoryPos)
            throw fail();
        spans.emplace_back(localPos, spanEnd);

        TZipEntry entry;
        entry.LocalHeader = local + 4;
        entry.RawName = local + kLocalSize;
        entry.Data = item.data;
        entry.Name = DecodeName(entry.RawName, nameLength, (flags & kUtf8Flag) != 0);
        entry.Method = method;
        entry.Flags = flags;
        entry.Crc32 = item.crc;
        entry.CompressedSize = item.compressed;
        entry.UncompressedSize = item.uncompressed;
        entry.Encrypted = item.encrypted;
        Entries.push_back(std::move(entry));
        items_.push_back(item);
        pos = next;
    }
    // The counted headers fill the directory exactly: a count that wrapped
    // past 65,535 or a directory size that disagrees leaves bytes over.
    if (pos != directoryEnd)
        throw fail();

    // No two entries share bytes (a header of one inside another's data would
    // unpack the same bytes twice); each descriptor fits before the next record.
    std::vector<size_t> order(spans.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return spans[a].first < spans[b].first; });
    for (size_t k = 0; k < order.size(); ++k) {
        const uint64_t limit = k + 1 < order.size() ? spans[order[k + 1]].first : directoryPos;
        const size_t i = order[k];
        if (spans[i].second > limit)
            throw fail();
        items_[i].room = limit - static_cast<uint64_t>(items_[i].data - archive) - items_[i].compressed;
    }
    EntryCount = static_cast<int>(Entries.size());
}

TZipRead::Fault TZipRead::Stream(size_t index, const std::function<bool(const char*, size_t)>& sink, std::string& why,
                                 int& inflateCode)
{
    inflateCode = Z_OK;
    if (index >= items_.size() || index >= static_cast<size_t>(std::max(EntryCount, 0))) {
        why = "there is no such entry in the archive";
        return Fault::Index;
    }
    const Item& item = items_[index];
    if (item.encrypted) {
        why = "it is encrypted";
        return Fault::Unsupported;
    }
    if (item.method != 0 && item.method != 8) {
        const char* name = MethodName(item.method);
        why = std::string("it is compressed with a method this program cannot unpack (") +
              (name ? name : "method " + std::to_string(item.method)) + ")";
        return Fault::Unsupported;
    }
    const std::string sizeMismatch = "its size does not match the archive's directory";
    const std::string damaged = "the compressed data is damaged";
    if (item.method == 0 && item.compressed != item.uncompressed) {
        why = sizeMismatch;
        return Fault::Data;
    }
    if (item.descriptor) {
        // With or without its signature; 8-byte sizes in the Zip64 case (some
        // writers use them whenever the local header has a Zip64 field, some
        // only for large entries: either is taken when it matches).
        const uint8_t* d = item.data + item.compressed;
        bool matches = false;
        for (const bool signature : {true, false})
            for (const bool wide : {item.zip64, !item.zip64}) {
                const uint64_t at = signature ? 4 : 0, need = at + (wide ? 20 : 12);
                if (need > item.room || (signature && Read32(d) != kDescriptorSignature))
                    continue;
                const uint64_t compressed = wide ? Read64(d + at + 4) : Read32(d + at + 4);
                const uint64_t size = wide ? Read64(d + at + 12) : Read32(d + at + 8);
                matches = matches ||
                          (Read32(d + at) == item.crc && compressed == item.compressed && size == item.uncompressed);
            }
        if (!matches) {
            why = "the data is damaged (its data descriptor does not match the archive's directory)";
            return Fault::Data;
        }
    }

    uLong crc = crc32_z(0, nullptr, 0);
    uint64_t produced = 0;
    if (item.method == 0) {
        for (uint64_t at = 0; at < item.compressed;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPieceSize, item.compressed - at));
            const char* bytes = reinterpret_cast<const char*>(item.data + at);
            crc = crc32_z(crc, item.data + at, piece);
            at += piece;
            if (!sink(bytes, piece)) {
                why = "cannot write";
                return Fault::Sink;
            }
        }
        produced = item.compressed;
    } else {
        // Output goes through one piece-sized buffer; it is never allowed to
        // run more than one byte past the declared size.
        std::unique_ptr<Bytef[]> buffer;
        const size_t bufferSize =
            item.uncompressed >= kPieceSize ? kPieceSize : static_cast<size_t>(item.uncompressed) + 1;
        try {
            buffer = std::make_unique<Bytef[]>(bufferSize);
        } catch (const std::bad_alloc&) {
            inflateCode = Z_MEM_ERROR;
            why = "there is not enough memory";
            return Fault::Memory;
        }
        z_stream stream{};
        int rc = inflateInit2(&stream, -MAX_WBITS);
        if (rc != Z_OK) {
            inflateCode = rc;
            why = rc == Z_MEM_ERROR ? "there is not enough memory" : damaged;
            return rc == Z_MEM_ERROR ? Fault::Memory : Fault::Data;
        }
        const uint8_t* in = item.data;
        uint64_t inLeft = item.compressed;
        Fault fault = Fault::None;
        for (;;) {
            if (stream.avail_in == 0 && inLeft > 0) {
                const uInt chunk = static_cast<uInt>(std::min<uint64_t>(inLeft, 1u << 30));
                stream.next_in = const_cast<Bytef*>(in);
                stream.avail_in = chunk;
                in += chunk;
                inLeft -= chunk;
            }
            const uint64_t left = item.uncompressed - produced;  // room for one byte more shows an overrun
            const uInt room = static_cast<uInt>(left >= bufferSize ? bufferSize : left + 1);
            stream.next_out = buffer.get();
            stream.avail_out = room;
            rc = inflate(&stream, Z_NO_FLUSH);
            const size_t got = room - stream.avail_out;
            if (got > item.uncompressed - produced) {
                inflateCode = Z_BUF_ERROR;  // more than the declared size
                why = sizeMismatch;
                fault = Fault::Data;
                break;
            }
            if (got > 0) {
                crc = crc32_z(crc, buffer.get(), got);
                produced += got;
                if (!sink(reinterpret_cast<const char*>(buffer.get()), got)) {
                    why = "cannot write";
                    fault = Fault::Sink;
                    break;
                }
            }
            if (rc == Z_STREAM_END) {
                inflateCode = rc;
                break;
            }
            if (rc != Z_OK) {
                // Z_BUF_ERROR: the input ran out before the end of the stream.
                inflateCode = rc;
                why = rc == Z_MEM_ERROR ? "there is not enough memory" : damaged;
                fault = rc == Z_MEM_ERROR ? Fault::Memory : Fault::Data;
                break;
            }
        }
        inflateEnd(&stream);
        if (fault != Fault::None)
            return fault;
    }
    if (produced != item.uncompressed) {
        why = sizeMismatch;
        return Fault::Data;
    }
    if (crc != item.crc) {
        why = "the data is damaged (CRC-32 does not match)";
        return Fault::Data;
    }
    why.clear();
    return Fault::None;
}

bool TZipRead::ExtractTo(int index, const std::function<bool(const char* data, size_t size)>& sink, std::string* why)
{
    std::string reason;
    int inflateCode = Z_OK;
    Fault fault;
    if (index < 0) {
        reason = "there is no such entry in the archive";
        fault = Fault::Index;
    } else {
        try {
            fault = Stream(static_cast<size_t>(index), sink, reason, inflateCode);
        } catch (const std::bad_alloc&) {
            reason = "there is not enough memory";
            fault = Fault::Memory;
        }
    }
    if (why)
        *why = reason;
    return fault == Fault::None;
}

std::string TZipRead::Extract(int index)
{
    if (static_cast<unsigned>(index) >= static_cast<unsigned>(EntryCount))
        return {};
    const size_t i = static_cast<size_t>(index);
    if (i >= items_.size())
        return {};
    const Item& item = items_[i];
    std::string result;
    // Deflate cannot reach a declared size far beyond its data: reserving
    // no more than it can reach keeps a lying header from allocating it.
    result.reserve(static_cast<size_t>(std::min<uint64_t>(item.uncompressed, MaxInflatedSize(item.compressed))));
    std::string why;
    int inflateCode = Z_OK;
    const Fault fault = Stream(
        i,
        [&result](const char* data, size_t size) {
            result.append(data, size);
            return true;
        },
        why, inflateCode);
    if (fault == Fault::Memory)
        throw std::bad_alloc();
    if (inflateCode != Z_OK && inflateCode != Z_STREAM_END)
        Notify(std::to_string(inflateCode), "ZipRead");
    if (fault == Fault::Unsupported) {
        Notify(why, Entries[i].Name);
        return {};
    }
    if (fault != Fault::None) {
        Notify("CRC", Entries[i].Name);
        return {};
    }
    return result;
}
