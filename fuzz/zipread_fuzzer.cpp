// libFuzzer target: TZipRead over arbitrary bytes, then every entry streamed
// through ExtractTo (the path installs take), and the build archive check run
// over it.
#include "core/printable.h"
#include "zip/buildcheck.h"
#include "zip/zipread.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SetZipNotifier([](const std::string&, const std::string&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly `size` bytes, so any read past the end is caught.
    std::vector<uint8_t> archive(data, data + size);
    try {
        TZipRead zip(archive.data(), archive.size());
        if (zip.EntryCount != static_cast<int>(zip.Entries.size()))
            __builtin_trap();
        for (int i = 0; i < zip.EntryCount; ++i) {
            const TZipEntry& entry = zip.Entries[static_cast<size_t>(i)];
            (void)entry.DosDateTime();
            // A name shown in a message carries no control character.
            for (const char c : core::Printable(entry.Name))
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                    __builtin_trap();
            // Streamed as installs do: bounded pieces, never past the declared
            // size, and on success exactly the declared size and CRC-32. Only
            // a running CRC is kept, so a huge entry costs no memory.
            uint64_t streamed = 0;
            uLong crc = crc32_z(0, nullptr, 0);
            std::string why;
            const bool ok = zip.ExtractTo(
                i,
                [&](const char* piece, size_t length) {
                    if (length == 0 || length > TZipRead::kPieceSize || length > entry.UncompressedSize - streamed)
                        __builtin_trap();
                    streamed += length;
                    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(piece), length);
                    return true;
                },
                &why);
            if (ok != why.empty() || (ok && (streamed != entry.UncompressedSize || crc != entry.Crc32)))
                __builtin_trap();
            // A sink that refuses stops it.
            if (zip.ExtractTo(
                    i, [](const char*, size_t) { return false; }, &why) &&
                entry.UncompressedSize > 0)
                __builtin_trap();
        }
        (void)zip.Extract(-1);
        (void)zip.Extract(zip.EntryCount);
        std::string why;
        if (zip.ExtractTo(
                zip.EntryCount, [](const char*, size_t) { return true; }, &why))
            __builtin_trap();
        int last = -1;
        const BuildCheckResult check = CheckBuildArchive(zip, [&](int percent) {
            if (percent < last || percent > 100)
                __builtin_trap();
            last = percent;
        });
        if (check.ok != check.reason.empty())
            __builtin_trap();
    } catch (const ZipError&) {
    }
    return 0;
}
