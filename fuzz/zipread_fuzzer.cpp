// libFuzzer target: TZipRead over arbitrary bytes, then every entry extracted
// both whole and streamed, and the build archive check run over it.
#include "zip/buildcheck.h"
#include "zip/zipread.h"

#include <cstddef>
#include <cstdint>
#include <new>
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
            const std::string whole = zip.Extract(i);
            // Streamed: bounded pieces, never past the declared size, and the
            // same content as the whole extraction when both succeed.
            std::string streamed, why;
            const bool ok = zip.ExtractTo(
                i,
                [&](const char* piece, size_t length) {
                    if (length == 0 || length > TZipRead::kPieceSize ||
                        streamed.size() + length > entry.UncompressedSize)
                        __builtin_trap();
                    streamed.append(piece, length);
                    return true;
                },
                &why);
            if (ok != why.empty() || (ok && streamed != whole) || (ok && streamed.size() != entry.UncompressedSize))
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
