// libFuzzer target: TZipRead over arbitrary bytes, then every entry extracted.
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
            (void)zip.Entries[i].DosDateTime();
            (void)zip.Extract(i);
        }
        (void)zip.Extract(-1);
        (void)zip.Extract(zip.EntryCount);
    } catch (const ZipError&) {
    }
    return 0;
}
