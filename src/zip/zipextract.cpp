// Extraction: an entry's data checked against its size and CRC-32, streamed
// in bounded pieces or gathered whole.
#include "zip/zipread.h"

#include "zip/zipformat.h"

#include "core/printable.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

using namespace zipformat;

namespace {

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
        std::fprintf(stderr, "%s: %s\n", core::Printable(caption).c_str(), core::Printable(text).c_str());
}

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
