#include "zip/zipread.h"

#include "zip/namedecode.h"
#include "zip/zipformat.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>
#include <utility>

using namespace zipformat;

namespace {

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

}  // namespace

uint32_t TZipEntry::DosDateTime() const
{
    // Local header offset 10; LocalHeader is at offset 4.
    return LocalHeader ? Read32(LocalHeader + 6) : 0;
}

TZipRead::TZipRead(const std::string& fileName, uint64_t start, uint64_t size)
{
    if (!file_.Open(fileName))
        throw ZipError("Missing File");
    if (size == 0 || size > file_.size())
        size = file_.size();
    const uint8_t* base = file_.data();
    // The archive starts at the first local header signature at or after
    // `start`: it may sit behind other data in the same file.
    const uint8_t* found = nullptr;
    if (start < size && size - start >= 5) {
        static const uint8_t signature[4] = {0x50, 0x4b, 0x03, 0x04};  // local header
        const uint8_t* end = base + size - 1;
        found = std::search(base + start, end, std::begin(signature), std::end(signature));
        if (found == end)
            found = nullptr;
    }
    if (!found) {
        Release();
        throw ZipError("No ZIP found");
    }
    const uint8_t* archive = found;
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
    file_.Close();
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
        // Both headers must describe the same entry: every zip tool lists the
        // directory's name, while unpacking goes by the local header.
        if (nameLength != centralName || std::memcmp(local + kLocalSize, central + kCentralSize, nameLength) != 0 ||
            ((flags ^ centralFlags) & (kUtf8Flag | kDescriptorFlag)) != 0 || method != centralMethod)
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
        if (item.compressed > directoryPos - dataPos)
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
        entry.Name = DecodeEntryName(entry.RawName, nameLength, (flags & kUtf8Flag) != 0);
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
