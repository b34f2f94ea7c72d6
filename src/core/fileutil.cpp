#include "core/fileutil.h"

#include "core/textutil.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace core {

namespace {

char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool MatchFrom(const char* name, const char* mask)
{
    // Iterative wildcard match with back-tracking to the last "*".
    const char* starMask = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*mask == '*') {
            starMask = ++mask;
            starName = name;
        } else if (*mask == '?' || (*mask && Lower(*mask) == Lower(*name))) {
            ++mask;
            ++name;
        } else if (starMask) {
            mask = starMask;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*mask == '*')
        ++mask;
    return *mask == 0;
}

std::string WithSlash(const std::string& folder)
{
    if (folder.empty() || folder.back() == '/' || folder.back() == '\\')
        return folder;
    return folder + "/";
}

}  // namespace

bool MatchMask(const std::string& name, const std::string& mask)
{
    if (mask == "*.*" || mask == "*")
        return true;
    return MatchFrom(name.c_str(), mask.c_str());
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask)
{
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(WithSlash(folder), ec);
    if (ec)
        return names;
    for (const auto& entry : it) {
        std::string name = entry.path().filename().string();
        if (MatchMask(name, mask))
            names.push_back(name);
    }
    return names;
}

void DeleteFiles(const std::string& folder, const std::string& mask)
{
    const std::string base = WithSlash(folder);
    for (const std::string& name : ListFiles(base, mask)) {
        std::error_code ec;
        fs::path path = fs::path(base) / name;
        if (fs::is_directory(fs::symlink_status(path, ec)))
            continue;
        fs::remove(path, ec);
    }
}

void RemoveFolderTree(const std::string& folder)
{
    std::string self = folder;
    while (self.size() > 1 && (self.back() == '/' || self.back() == '\\'))
        self.pop_back();
    std::error_code ec;
    if (self.empty() || !fs::is_directory(fs::symlink_status(self, ec)))
        return;
    const std::string base = WithSlash(self);
    DeleteFiles(base, "*.*");
    for (const std::string& name : ListFiles(base, "*.*")) {
        fs::path path = fs::path(base) / name;
        if (fs::is_directory(fs::symlink_status(path, ec)))
            RemoveFolderTree(path.string());
    }
    fs::remove(fs::path(self), ec);
}

bool WriteFileWhole(const std::string& path, const std::string& data)
{
    const std::string part = path + ".part";
    std::FILE* out = std::fopen(part.c_str(), "wb");
    bool written = out != nullptr;
    if (out) {
        written = std::fwrite(data.data(), 1, data.size(), out) == data.size();
        written = std::fclose(out) == 0 && written;
    }
    std::error_code ec;
    if (written)
        fs::rename(part, path, ec);
    if (!written || ec) {
        fs::remove(part, ec);
        return false;
    }
    return true;
}

std::string CardPath(const std::string& root, const std::string& relative)
{
    std::string rel = relative;
    for (char& c : rel)
        if (c == '\\')
            c = '/';
    while (!rel.empty() && rel.front() == '/')
        rel.erase(0, 1);
    return WithSlash(root) + rel;
}

std::string ResolveNoCase(const std::string& root, const std::string& relative)
{
    if (root.empty())
        return std::string();
    std::error_code ec;
    fs::path current(root);
    if (!fs::is_directory(current, ec))
        return std::string();
    for (const std::string& part : SplitText("/", CardPath("", relative))) {
        if (part.empty())
            continue;
        // Names are found by listing the folder, never by looking a name up
        // as written: drivers that match without case would answer such a
        // lookup with a stale second entry for the same file.
        fs::directory_iterator it(current, ec);
        if (ec)
            return std::string();
        const std::string wanted = LowerAscii(part);
        fs::path match;
        for (const auto& entry : it) {
            const std::string name = entry.path().filename().string();
            if (name == part) {
                match = entry.path();
                break;
            }
            if (match.empty() && LowerAscii(name) == wanted)
                match = entry.path();
        }
        if (match.empty())
            return std::string();
        current = match;
    }
    return current.string();
}

bool FileExistsNoCase(const std::string& root, const std::string& relative)
{
    std::string path = ResolveNoCase(root, relative);
    std::error_code ec;
    return !path.empty() && fs::is_regular_file(fs::symlink_status(path, ec));
}

bool FolderExistsNoCase(const std::string& root, const std::string& relative)
{
    std::string path = ResolveNoCase(root, relative);
    std::error_code ec;
    return !path.empty() && fs::is_directory(fs::symlink_status(path, ec));
}

std::string DateTimeText(int64_t secondsSinceEpoch)
{
    std::time_t t = static_cast<std::time_t>(secondsSinceEpoch);
    std::tm local{};
    std::tm* got = std::localtime(&t);
    if (!got)
        return std::string();
    local = *got;
    local.tm_sec -= local.tm_sec % 2;  // FAT keeps two-second steps
    char text[32];
    if (local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0)
        std::strftime(text, sizeof text, "%Y.%m.%d", &local);
    else
        std::strftime(text, sizeof text, "%Y.%m.%d %H:%M:%S", &local);
    return text;
}

std::string FileDateText(const std::string& path)
{
    std::error_code ec;
    if (!fs::exists(path, ec) || fs::is_directory(path, ec))
        return std::string();
    auto when = fs::last_write_time(path, ec);
    if (ec)
        return std::string();
    auto sys = std::chrono::file_clock::to_sys(when);
    auto seconds = std::chrono::floor<std::chrono::seconds>(sys).time_since_epoch().count();
    return DateTimeText(static_cast<int64_t>(seconds));
}

}  // namespace core
