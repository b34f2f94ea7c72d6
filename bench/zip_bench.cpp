// Unpacks every entry of an archive with TZipRead into a folder and prints
// the time and the peak memory; bench/zip_bench.sh compares it with unzip.
#include "zip/zipread.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: zip_bench ARCHIVE FOLDER\n");
        return 2;
    }
    SetZipNotifier([](const std::string& text, const std::string& caption) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    });
    const auto start = std::chrono::steady_clock::now();
    TZipRead zip(argv[1]);
    unsigned long long bytes = 0;
    for (int i = 0; i < zip.EntryCount; ++i) {
        std::string name = zip.Entries[static_cast<size_t>(i)].Name;
        for (char& c : name)
            if (c == '\\')
                c = '/';
        const fs::path target = fs::path(argv[2]) / name;
        if (!name.empty() && name.back() == '/') {
            fs::create_directories(target);
            continue;
        }
        fs::create_directories(target.parent_path());
        const std::string content = zip.Extract(i);
        std::ofstream(target, std::ios::binary).write(content.data(), static_cast<std::streamsize>(content.size()));
        bytes += content.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("entries %d bytes %llu seconds %.3f peak_rss_kb %ld\n", zip.EntryCount, bytes, seconds,
                usage.ru_maxrss);
    return 0;
}
