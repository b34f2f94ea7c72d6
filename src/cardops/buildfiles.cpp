#include "cardops/buildfiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>

#include "core/fileutil.h"
#include "core/printable.h"
#include "core/textutil.h"
#include "platform/filetimes.h"
#include "zip/entryname.h"
#include "zip/zipread.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

// A DOS date and time (date in the high half) as local time.
void SetDosTime(const std::string& path, uint32_t dosDateTime)
{
    const uint32_t date = dosDateTime >> 16;
    const uint32_t time = dosDateTime & 0xFFFF;
    std::tm tm{};
    tm.tm_year = static_cast<int>((date >> 9) & 0x7F) + 80;
    tm.tm_mon = static_cast<int>((date >> 5) & 0x0F) - 1;
    tm.tm_mday = static_cast<int>(date & 0x1F);
    tm.tm_hour = static_cast<int>((time >> 11) & 0x1F);
    tm.tm_min = static_cast<int>((time >> 5) & 0x3F);
    tm.tm_sec = static_cast<int>(time & 0x1F) * 2;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1))
        return;
    platform::SetFileTime(path, static_cast<int64_t>(t));
}

// The card's folders as the unpacking sees them: each folder is listed once,
// and its names are matched without regard to letter case (an exact match
// wins), so an entry overwrites the file it names whatever its spelling.
class CardFolders {
public:
    // The existing child of folder named like name, or folder/name.
    std::string Child(const std::string& folder, const std::string& name)
    {
        const auto& names = Listing(folder);
        auto exact = names.find(name);
        if (exact != names.end())
            return (fs::path(folder) / exact->first).string();
        const std::string wanted = core::LowerAscii(name);
        for (const auto& entry : names)
            if (entry.second == wanted)
                return (fs::path(folder) / entry.first).string();
        return (fs::path(folder) / name).string();
    }
    // Notes a name that the unpacking has just made in folder.
    void Added(const std::string& folder, const std::string& name)
    {
        Listing(folder).emplace(name, core::LowerAscii(name));
    }

private:
    std::map<std::string, std::string>& Listing(const std::string& folder)
    {
        auto it = listings_.find(folder);
        if (it != listings_.end())
            return it->second;
        std::map<std::string, std::string>& names = listings_[folder];
        for (const std::string& name : core::ListFiles(folder, "*.*"))
            names.emplace(name, core::LowerAscii(name));
        return names;
    }
    std::map<std::string, std::map<std::string, std::string>> listings_;  // folder -> name -> lower name
};

bool EndsWithExact(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct FileCloser {
    void operator()(std::FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};

}  // namespace

InstallOutcome InstallBuild(const std::string& archive, const std::string& root, bool skipFirmware,
                            const std::function<void(int, const std::string&)>& progress,
                            const std::function<void(const std::string&)>& noteWritten)
{
    InstallOutcome out;
    try {
        TZipRead zip(archive);
        CardFolders folders;
        const int count = zip.EntryCount;
        std::error_code ec;
        for (int i = 0; i < count; ++i) {
            const TZipEntry& entry = zip.Entries[static_cast<size_t>(i)];
            const std::string& name = entry.Name;
            if (progress)
                progress(count > 1 ? i * 100 / (count - 1) : 100, name);

            std::string relative;
            bool isFolder = false;
            if (!SafeEntryPath(name, &relative, &isFolder)) {
                out.error = core::Printable(name + ": the name would land outside the card's root folder");
                return out;
            }
            std::vector<std::string> parts = core::SplitText("/", relative);
            if (!parts.empty() && parts.back().empty())
                parts.pop_back();
            const std::string filePart = isFolder || parts.empty() ? std::string() : parts.back();
            if (!filePart.empty())
                parts.pop_back();

            // Folders from the outside in, each only when missing.
            std::string folder = root;
            for (const std::string& part : parts) {
                const std::string next = folders.Child(folder, part);
                if (!fs::is_directory(fs::symlink_status(next, ec))) {
                    if (!fs::create_directory(next, ec) || !fs::is_directory(fs::symlink_status(next, ec))) {
                        out.error = core::Printable("cannot make the folder " + next +
                                                    (ec ? ": " + ec.message() : std::string()));
                        return out;
                    }
                    out.madeFolders.push_back(next);
                    folders.Added(folder, part);
                }
                folder = next;
            }
            if (filePart.empty() || (skipFirmware && EndsWithExact(name, ".fir")))
                continue;

            const std::string target = folders.Child(folder, filePart);
            if (fs::is_symlink(target, ec) || fs::is_directory(target, ec)) {
                out.error = core::Printable("cannot write " + target + ": a folder or link of that name is in the way");
                return out;
            }
            if (noteWritten)
                noteWritten(target);
            out.written.push_back(target);
            std::unique_ptr<std::FILE, FileCloser> file(std::fopen(target.c_str(), "wb"));
            if (!file) {
                out.error = core::Printable("cannot write " + target + ": " + std::strerror(errno));
                return out;
            }
            folders.Added(folder, fs::path(target).filename().string());
            int writeError = 0;
            std::string why;
            const bool extracted = zip.ExtractTo(
                i,
                [&](const char* data, size_t size) {
                    if (std::fwrite(data, 1, size, file.get()) == size)
                        return true;
                    writeError = errno ? errno : EIO;
                    return false;
                },
                &why);
            std::FILE* raw = file.release();
            if (std::fclose(raw) != 0 && writeError == 0)
                writeError = errno ? errno : EIO;
            if (writeError != 0) {
                out.error = core::Printable("cannot write " + target + ": " + std::strerror(writeError));
                return out;
            }
            if (!extracted) {
                out.error = core::Printable(archive + ": " + name + ": " + why);
                return out;
            }
            SetDosTime(target, entry.DosDateTime());
        }
        if (progress)
            progress(100, std::string());
        out.ok = true;
    } catch (const ZipError& error) {
        out.error = archive + ": " + error.what();
    } catch (const std::exception& error) {
        out.error = std::string("unpacking stopped: ") + error.what();
    }
    return out;
}

bool RollBack(const std::vector<std::string>& written, const std::vector<std::string>& madeFolders)
{
    bool clean = true;
    std::error_code ec;
    for (auto it = written.rbegin(); it != written.rend(); ++it) {
        fs::remove(*it, ec);
        if (fs::exists(fs::symlink_status(*it, ec)))
            clean = false;
    }
    for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it) {
        fs::remove(*it, ec);  // only removes it when empty
    }
    return clean;
}

bool RemoveBuild(const std::string& root)
{
    core::DeleteFiles(root, "*.fir");
    core::DeleteFiles(root, "autoexec.bin");
    core::DeleteFiles(root, "*.pdf");
    if (core::FolderExistsNoCase(root, "ML"))
        core::RemoveFolderTree(core::ResolveNoCase(root, "ML"));
    return !core::FileExistsNoCase(root, "autoexec.bin") && !core::FolderExistsNoCase(root, "ML") &&
           core::ListFiles(root, "*.fir").empty();
}

uint64_t SpaceNeeded(uint64_t totalBytes, size_t fileCount, size_t folderCount, uint64_t unit)
{
    if (unit == 0)
        unit = 512;
    // Each file wastes at most one unit less a byte at its end; counting a
    // whole unit per file keeps the estimate on the safe side.
    return totalBytes + (static_cast<uint64_t>(fileCount) + folderCount) * unit;
}

}  // namespace cardops
