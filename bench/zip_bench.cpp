// Unpacks every entry of an archive with TZipRead into a folder the way an
// install does (each entry streamed through ExtractTo into its file, never
// held whole) and prints the time and the peak memory; bench/zip_bench.sh
// compares it with unzip. A file-system error (a folder where a file goes, a
// full disk) or a damaged entry is reported with the entry's name and ends
// the run with status 1.
#include "core/printable.h"
#include "zip/zipread.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>

namespace fs = std::filesystem;

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Writes entry i under folder; false with *why set when it cannot.
bool Unpack(TZipRead& zip, int i, const fs::path& folder, unsigned long long* bytes, std::string* why)
{
    std::string name = zip.Entries[static_cast<size_t>(i)].Name;
    for (char& c : name)
        if (c == '\\')
            c = '/';
    const fs::path target = folder / name;
    std::error_code ec;
    const bool isFolder = !name.empty() && name.back() == '/';
    fs::create_directories(isFolder ? target : target.parent_path(), ec);
    if (ec) {
        *why = "cannot make the folder: " + ec.message();
        return false;
    }
    if (isFolder)
        return true;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(target.c_str(), "wb"));
    if (!file) {
        *why = std::string("cannot write: ") + std::strerror(errno);
        return false;
    }
    int writeError = 0;
    const bool ok = zip.ExtractTo(
        i,
        [&](const char* data, size_t size) {
            if (std::fwrite(data, 1, size, file.get()) == size)
                return true;
            writeError = errno;
            return false;
        },
        why);
    if (std::fclose(file.release()) != 0 && writeError == 0)
        writeError = errno;
    if (writeError != 0) {
        *why = std::string("cannot write: ") + std::strerror(writeError);
        return false;
    }
    if (ok)
        *bytes += zip.Entries[static_cast<size_t>(i)].UncompressedSize;
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: zip_bench ARCHIVE FOLDER\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    unsigned long long bytes = 0;
    int entries = 0;
    try {
        TZipRead zip(argv[1]);
        entries = zip.EntryCount;
        for (int i = 0; i < zip.EntryCount; ++i) {
            std::string why;
            if (!Unpack(zip, i, argv[2], &bytes, &why)) {
                std::fprintf(stderr, "zip_bench: %s: %s\n",
                             core::Printable(zip.Entries[static_cast<size_t>(i)].Name).c_str(), why.c_str());
                return 1;
            }
        }
    } catch (const ZipError& error) {
        std::fprintf(stderr, "zip_bench: %s: %s\n", argv[1], error.what());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("entries %d bytes %llu seconds %.3f peak_rss_kb %ld\n", entries, bytes, seconds, usage.ru_maxrss);
    return 0;
}
