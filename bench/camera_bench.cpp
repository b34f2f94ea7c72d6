// Reads the camera of a card folder as the window does when a card is loaded,
// and prints the time and the bytes read (read() calls, from /proc/self/io).
// With "make", first fills FOLDER/DCIM with COUNT photos of KB kilobytes each
// (a JPEG with Exif data, then a hole where the file system has holes) in
// folders of 1000, as a camera does.
// Usage: camera_bench [make COUNT KB] FOLDER
#include "camera/cardcamera.h"
#include "support/photos.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

long long BytesRead()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

bool Fill(const fs::path& root, int count, long long kilobytes)
{
    const fs::path made = root / "made.jpg";
    if (!testsupport::WritePhoto(made.string(), {testsupport::PhotoKind::Jpeg, "Canon EOS 5D Mark III",
                                                 "Firmware Version 1.2.3"}))
        return false;
    std::error_code ec;
    for (int i = 1; i <= count && !ec; ++i) {
        char name[48];
        std::snprintf(name, sizeof name, "DCIM/%03dCANON/IMG_%04d.JPG", 100 + (i - 1) / 1000, i);
        const fs::path photo = root / name;
        fs::create_directories(photo.parent_path(), ec);
        fs::copy_file(made, photo, fs::copy_options::overwrite_existing, ec);
        if (!ec && static_cast<long long>(fs::file_size(made)) < kilobytes * 1024)
            fs::resize_file(photo, static_cast<uintmax_t>(kilobytes) * 1024, ec);
        // One second apart, the last the newest.
        if (!ec)
            fs::last_write_time(photo, fs::file_time_type::clock::now() - std::chrono::seconds(count - i), ec);
    }
    fs::remove(made);
    return !ec;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && !(argc == 5 && std::string(argv[1]) == "make")) {
        std::fprintf(stderr, "usage: camera_bench [make COUNT KB] FOLDER\n");
        return 2;
    }
    const fs::path root = argv[argc - 1];
    if (argc == 5 && !Fill(root, std::atoi(argv[2]), std::atoll(argv[3]))) {
        std::fprintf(stderr, "camera_bench: cannot fill %s\n", root.c_str());
        return 1;
    }
    for (const char* round : {"first", "again"}) {
        const long long before = BytesRead();
        const auto start = std::chrono::steady_clock::now();
        const camera::CardCamera found = camera::ReadCardCamera(root.string());
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s: %.1f ms, %lld bytes read, %s (%s)\n", round, ms, BytesRead() - before,
                    camera::CameraLine(found.camera).c_str(), found.photo.c_str());
    }
    return 0;
}
