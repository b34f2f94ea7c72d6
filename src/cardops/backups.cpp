// Boot-region backups in the work folder.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cardops/savesequence.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

uint32_t Le32(const Region& r, size_t at)
{
    return static_cast<uint32_t>(r[at]) | static_cast<uint32_t>(r[at + 1]) << 8 |
           static_cast<uint32_t>(r[at + 2]) << 16 | static_cast<uint32_t>(r[at + 3]) << 24;
}

std::string BackupFolder(const std::string& workFolder)
{
    return (fs::path(workFolder) / "backups").string();
}

std::string SafeWord(const std::string& text)
{
    std::string out;
    for (char c : text)
        out.push_back((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ? c : '_');
    return out;
}

}  // namespace

std::string MediumKey(const platform::Volume& volume, const Region& region)
{
    // The serial number sits where each file system keeps it.
    uint32_t serial = 0;
    if (volume.fsName == "exFAT")
        serial = Le32(region, 100);
    else if (volume.fsName == "FAT32")
        serial = Le32(region, 0x43);
    else
        serial = Le32(region, 0x27);
    char text[64];
    std::snprintf(text, sizeof text, "%08X-%llu", serial, static_cast<unsigned long long>(volume.sizeBytes));
    return SafeWord(volume.fsName) + "-" + text;
}

bool KeepBackup(const std::string& workFolder, const platform::Volume& volume, const Region& region, std::string* path,
                std::string* why)
{
    std::error_code ec;
    const fs::path folder = BackupFolder(workFolder);
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder, ec)) {
        if (why)
            *why = "cannot make the backup folder " + folder.string();
        return false;
    }
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    char shown[32];
    std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M:%S", &tm);
    const std::string base = MediumKey(volume, region) + "_" + stamp;
    // Never overwrite a backup: a second one in the same second gets a number.
    for (int n = 0; n < 1000; ++n) {
        std::string name = base;
        if (n)
            name += '-' + std::to_string(n);
        const fs::path file = folder / (name + ".bin");
        const std::string target = file.string();
        std::FILE* out = std::fopen(target.c_str(), "wbx");
        if (!out) {
            if (errno == EEXIST)
                continue;
            if (why)
                *why = "cannot write the backup " + target + ": " + std::strerror(errno);
            return false;
        }
        const bool written = std::fwrite(region.data(), 1, region.size(), out) == region.size();
        const bool flushed = std::fflush(out) == 0;
        const bool closed = std::fclose(out) == 0;
        if (!written || !flushed || !closed) {
            fs::remove(file, ec);
            if (why)
                *why = "cannot write the backup " + target;
            return false;
        }
        std::ofstream text(fs::path(file).replace_extension(".txt"));
        text << "device " << volume.name << "\nlabel " << volume.label << "\nfile system " << volume.fsName << "\ntime "
             << shown << "\n";
        text.close();
        // The backup must outlast a crash during the write that follows.
        platform::SyncFileSystem(folder.string(), nullptr);
        if (path)
            *path = target;
        return true;
    }
    if (why)
        *why = "too many backups in one second";
    return false;
}

std::vector<BackupInfo> ListBackups(const std::string& workFolder, const platform::Volume& volume, const Region& region)
{
    std::vector<BackupInfo> list;
    const std::string prefix = MediumKey(volume, region) + "_";
    std::error_code ec;
    for (fs::directory_iterator it(BackupFolder(workFolder), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0 || it->path().extension() != ".bin")
            continue;
        BackupInfo info;
        info.path = it->path().string();
        std::ifstream text(fs::path(it->path()).replace_extension(".txt"));
        std::string line;
        while (std::getline(text, line)) {
            if (line.rfind("time ", 0) == 0)
                info.time = line.substr(5);
            if (!info.description.empty())
                info.description += ", ";
            info.description += line;
        }
        list.push_back(std::move(info));
    }
    // The file names carry the time (and a counter within one second), so
    // their order is the order in which the backups were made.
    std::sort(list.begin(), list.end(), [](const BackupInfo& a, const BackupInfo& b) {
        const auto key = [](const std::string& p) {
            // "-N" counters sort after the plain name of the same second.
            std::string stem = fs::path(p).stem().string();
            const size_t us = stem.rfind('_');
            std::string stamp = us == std::string::npos ? stem : stem.substr(us + 1);
            size_t dash = stamp.find('-', 9);
            int counter = dash == std::string::npos ? 0 : std::atoi(stamp.c_str() + dash + 1);
            return std::make_pair(stamp.substr(0, 15), counter);
        };
        return key(a.path) < key(b.path);
    });
    return list;
}

bool ReadBackup(const std::string& path, Region* region, std::string* why)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (why)
            *why = "cannot read " + path;
        return false;
    }
    Region r{};
    in.read(reinterpret_cast<char*>(r.data()), static_cast<std::streamsize>(r.size()));
    if (in.gcount() != static_cast<std::streamsize>(r.size()) || in.peek() != std::char_traits<char>::eof()) {
        if (why)
            *why = path + " is not a boot-region backup (it must be exactly " + std::to_string(r.size()) + " bytes)";
        return false;
    }
    *region = r;
    return true;
}

}  // namespace cardops
