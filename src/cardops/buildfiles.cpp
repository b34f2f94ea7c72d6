#include "cardops/buildfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <random>

#include "core/fileutil.h"
#include "core/printable.h"
#include "core/textutil.h"
#include "platform/filetimes.h"
#include "zip/entryname.h"
#include "zip/fatname.h"
#include "zip/zipread.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

std::string Join(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string On(const std::string& root, const std::string& relative)
{
    return relative.empty() ? root : root + "/" + relative;
}

// The temporary or aside file of `file`, in its folder.
std::string Beside(const std::string& root, const JournalFile& file, const std::string& name)
{
    return On(root, Join(FolderOf(file.path), name));
}

enum class Kind { Missing, File, Folder, Other };

Kind KindOf(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return Kind::Missing;
    return S_ISREG(st.st_mode) ? Kind::File : S_ISDIR(st.st_mode) ? Kind::Folder : Kind::Other;
}

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
    if (t != static_cast<std::time_t>(-1))
        platform::SetFileTime(path, static_cast<int64_t>(t));
}

bool EndsWithExact(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// The card's folders as the plan sees them: what each holds now, and what
// the plan adds, matched without regard to letter case.
class CardView {
public:
    explicit CardView(std::string root) : root_(std::move(root)) {}

    struct Entry {
        std::string name;  // spelling on the card (or in the plan)
        Kind kind = Kind::Missing;
    };
    // The child of a folder named like `name` (an exact spelling wins over
    // one that differs in letter case); kind Missing when there is none.
    Entry Find(const std::string& folder, const std::string& name)
    {
        const auto& names = Listing(folder);
        const auto exact = names.find(name);
        if (exact != names.end())
            return exact->second;
        const std::string wanted = core::LowerAscii(name);
        for (const auto& [spelling, entry] : names)
            if (core::LowerAscii(spelling) == wanted)
                return entry;
        return Entry{name, Kind::Missing};
    }
    void Add(const std::string& folder, const std::string& name, Kind kind)
    {
        Listing(folder)[name] = Entry{name, kind};
    }
    // Whether a name in one of the listed folders starts like the token's names.
    bool TokenInUse(const std::string& token)
    {
        const std::string prefix = core::LowerAscii("~" + token);
        for (const auto& [folder, names] : listings_)
            for (const auto& [spelling, entry] : names)
                if (core::LowerAscii(spelling).rfind(prefix, 0) == 0)
                    return true;
        return false;
    }

private:
    std::map<std::string, Entry>& Listing(const std::string& folder)
    {
        auto it = listings_.find(folder);
        if (it != listings_.end())
            return it->second;
        auto& names = listings_[folder];
        std::error_code ec;
        for (fs::directory_iterator d(On(root_, folder), ec), end; !ec && d != end; d.increment(ec)) {
            const std::string name = d->path().filename().string();
            names[name] = Entry{name, KindOf(d->path().string())};
        }
        return names;
    }
    std::string root_;
    std::map<std::string, std::map<std::string, Entry>> listings_;
};

bool Fail(std::string* why, const std::string& text)
{
    if (why)
        *why = core::Printable(text);  // names come from the archive
    return false;
}

// A name FAT and exFAT take (the same rule as the build check's). Found
// before anything is written; some drivers leave a lost cluster behind when
// a rename to such a name fails.
bool CardName(const std::string& name, std::string* why)
{
    const std::string problem = FatNameProblem(name);
    return problem.empty() || Fail(why, name + ": " + problem);
}

bool FileMatches(const std::string& path, uint64_t size, uint32_t crc)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uLong sum = crc32(0, nullptr, 0);
    uint64_t total = 0;
    unsigned char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        sum = crc32(sum, buffer, static_cast<uInt>(n));
        total += static_cast<uint64_t>(n);
    }
    ::close(fd);
    return n == 0 && total == size && static_cast<uint32_t>(sum) == crc;
}

bool WriteEntry(TZipRead& zip, int entry, const std::string& path, std::string* why)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return Fail(why, std::strerror(errno));
    int writeError = 0;
    std::string extractWhy;
    const bool extracted = zip.ExtractTo(
        entry,
        [&](const char* data, size_t size) {
            while (size > 0) {
                const ssize_t n = ::write(fd, data, size);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    writeError = n < 0 ? errno : ENOSPC;
                    return false;
                }
                data += n;
                size -= static_cast<size_t>(n);
            }
            return true;
        },
        &extractWhy);
    if (writeError == 0 && ::fsync(fd) != 0)
        writeError = errno;
    if (::close(fd) != 0 && writeError == 0)
        writeError = errno;
    if (writeError != 0)
        return Fail(why, std::strerror(writeError));
    if (!extracted)
        return Fail(why, "the archive's entry " + zip.Entries[static_cast<size_t>(entry)].Name + ": " + extractWhy);
    return true;
}

}  // namespace

bool PlanInstall(TZipRead& zip, const std::string& root, bool skipFirmware, InstallPlan* plan, std::string* why)
{
    InstallPlan out;
    CardView card(root);
    std::map<std::string, size_t> byPath;  // lower-case final path -> file index
    for (int i = 0; i < zip.EntryCount; ++i) {
        const TZipEntry& entry = zip.Entries[static_cast<size_t>(i)];
        std::string relative;
        bool isFolder = false;
        if (!SafeEntryPath(entry.Name, &relative, &isFolder))
            return Fail(why, entry.Name + ": the name would land outside the card's root folder");
        std::vector<std::string> parts = core::SplitText("/", relative);
        if (!parts.empty() && parts.back().empty())
            parts.pop_back();
        const std::string filePart = isFolder || parts.empty() ? std::string() : parts.back();
        if (!filePart.empty())
            parts.pop_back();

        std::string reason;
        for (const std::string& part : parts)
            if (!CardName(part, &reason))
                return Fail(why, "cannot write " + On(root, relative) + ": " + reason);
        if (!filePart.empty() && !CardName(filePart, &reason))
            return Fail(why, "cannot write " + On(root, relative) + ": " + reason);

        std::string folder;  // relative, in the card's spelling
        for (const std::string& part : parts) {
            const CardView::Entry found = card.Find(folder, part);
            if (found.kind == Kind::Missing) {
                card.Add(folder, part, Kind::Folder);
                out.madeFolders.push_back(Join(folder, part));
            } else if (found.kind != Kind::Folder) {
                return Fail(why, "cannot make the folder " + On(root, Join(folder, found.name)) +
                                     ": a file of that name is in the way");
            }
            folder = Join(folder, found.name);
        }
        if (filePart.empty() || (skipFirmware && EndsWithExact(entry.Name, ".fir")))
            continue;

        const CardView::Entry found = card.Find(folder, filePart);
        const std::string path = Join(folder, found.name);
        if (found.kind == Kind::Folder || found.kind == Kind::Other)
            return Fail(why, "cannot write " + On(root, path) + ": a folder or link of that name is in the way");
        PlannedFile file;
        file.path = path;
        file.entry = i;
        file.size = entry.UncompressedSize;
        file.crc = entry.Crc32;
        file.dosTime = entry.DosDateTime();
        const auto known = byPath.find(core::LowerAscii(path));
        if (known != byPath.end()) {
            // The archive names the file twice: the later entry is written.
            PlannedFile& earlier = out.files[known->second];
            out.totalBytes -= earlier.size;
            file.replaces = earlier.replaces;
            earlier = file;
        } else {
            file.replaces = found.kind == Kind::File;
            if (!file.replaces)
                card.Add(folder, filePart, Kind::File);
            byPath[core::LowerAscii(path)] = out.files.size();
            out.files.push_back(file);
        }
        out.totalBytes += file.size;
    }
    if (out.files.size() > 0xFFFF)
        return Fail(why, "the archive holds more files than one install can take");

    // A token whose names no folder of the install holds yet.
    std::random_device random;
    for (int attempt = 0; attempt < 64 && out.token.empty(); ++attempt) {
        const std::string token = Hex(random() & 0xFFF, 3);
        if (!card.TokenInUse(token))
            out.token = token;
    }
    if (out.token.empty())
        return Fail(why, "no free temporary names on the card");
    for (size_t i = 0; i < out.files.size(); ++i) {
        PlannedFile& f = out.files[i];
        const std::string stem = "~" + out.token + Hex(static_cast<uint32_t>(i), 4);
        f.temp = stem + ".TMP";
        f.aside = f.replaces ? stem + ".OLD" : std::string();
    }
    *plan = std::move(out);
    return true;
}

bool UnpackFiles(TZipRead& zip, const std::string& root, const InstallPlan& plan, const Progress& progress,
                 std::string* why)
{
    for (const std::string& folder : plan.madeFolders) {
        const std::string path = On(root, folder);
        if (::mkdir(path.c_str(), 0755) != 0 && !(errno == EEXIST && KindOf(path) == Kind::Folder))
            return Fail(why, "cannot make the folder " + path + ": " + std::strerror(errno));
    }
    std::vector<int> fileOfEntry(static_cast<size_t>(zip.EntryCount), -1);
    for (size_t i = 0; i < plan.files.size(); ++i)
        fileOfEntry[static_cast<size_t>(plan.files[i].entry)] = static_cast<int>(i);
    const int count = zip.EntryCount;
    for (int i = 0; i < count; ++i) {
        if (progress)
            progress(count > 1 ? i * 100 / (count - 1) : 100, zip.Entries[static_cast<size_t>(i)].Name);
        if (fileOfEntry[static_cast<size_t>(i)] < 0)
            continue;
        const PlannedFile& f = plan.files[static_cast<size_t>(fileOfEntry[static_cast<size_t>(i)])];
        const std::string temp = Beside(root, f, f.temp);
        std::string reason;
        if (!WriteEntry(zip, i, temp, &reason))
            return Fail(why, "cannot write " + On(root, f.path) + ": " + reason);
        SetDosTime(temp, f.dosTime);
    }
    if (progress)
        progress(100, std::string());
    return true;
}

CommitResult CommitFiles(const std::string& root, const std::vector<JournalFile>& files, std::string* why)
{
    size_t done = 0;
    bool asideMoved = false;
    int error = 0;
    for (; done < files.size(); ++done) {
        const JournalFile& f = files[done];
        const std::string final = On(root, f.path);
        asideMoved = false;
        if (!f.aside.empty()) {
            if (::rename(final.c_str(), Beside(root, f, f.aside).c_str()) != 0) {
                error = errno;
                break;
            }
            asideMoved = true;
        } else if (KindOf(final) != Kind::Missing) {
            error = EEXIST;  // something took the new file's name since the plan
            break;
        }
        if (::rename(Beside(root, f, f.temp).c_str(), final.c_str()) != 0) {
            error = errno;
            break;
        }
    }
    if (done == files.size())
        return CommitResult::Done;
    Fail(why, "cannot put " + On(root, files[done].path) + " in place: " + std::strerror(error));
    // Back to where the commit began: the failed file's original returns,
    // every file already in place goes back to its temporary name.
    bool undone = true;
    const JournalFile& failed = files[done];
    if (asideMoved)
        undone = ::rename(Beside(root, failed, failed.aside).c_str(), On(root, failed.path).c_str()) == 0;
    while (done-- > 0) {
        const JournalFile& f = files[done];
        undone = ::rename(On(root, f.path).c_str(), Beside(root, f, f.temp).c_str()) == 0 && undone;
        if (!f.aside.empty())
            undone = ::rename(Beside(root, f, f.aside).c_str(), On(root, f.path).c_str()) == 0 && undone;
    }
    return undone ? CommitResult::Undone : CommitResult::Stuck;
}

bool RemoveTemporaries(const std::string& root, const std::vector<JournalFile>& files,
                       const std::vector<std::string>& madeFolders)
{
    bool clean = true;
    for (const JournalFile& f : files) {
        const std::string temp = Beside(root, f, f.temp);
        if (::unlink(temp.c_str()) != 0 && errno != ENOENT)
            clean = false;
    }
    for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it) {
        // Only an empty folder goes: some drivers delete a full one too.
        const std::string path = On(root, *it);
        std::error_code ec;
        if (KindOf(path) == Kind::Folder && fs::is_empty(path, ec) && !ec)
            ::rmdir(path.c_str());
    }
    return clean;
}

bool RollForward(const std::string& root, const std::vector<JournalFile>& files, std::string* why)
{
    std::vector<bool> pending(files.size(), false);
    for (size_t i = 0; i < files.size(); ++i) {
        const JournalFile& f = files[i];
        const bool temp = KindOf(Beside(root, f, f.temp)) == Kind::File;
        const Kind final = KindOf(On(root, f.path));
        const bool aside = !f.aside.empty() && KindOf(Beside(root, f, f.aside)) != Kind::Missing;
        if (temp && (final == Kind::Missing || (final == Kind::File && !f.aside.empty() && !aside))) {
            pending[i] = true;
        } else if (temp || final != Kind::File || !FileMatches(On(root, f.path), f.size, f.crc)) {
            return Fail(why, On(root, f.path) + " is not the file the installation was putting there");
        }
    }
    for (size_t i = 0; i < files.size(); ++i) {
        if (!pending[i])
            continue;
        const JournalFile& f = files[i];
        const std::string final = On(root, f.path);
        if (KindOf(final) != Kind::Missing && ::rename(final.c_str(), Beside(root, f, f.aside).c_str()) != 0)
            return Fail(why, "cannot set " + final + " aside: " + std::strerror(errno));
        if (::rename(Beside(root, f, f.temp).c_str(), final.c_str()) != 0)
            return Fail(why, "cannot put " + final + " in place: " + std::strerror(errno));
    }
    return true;
}

bool DeleteAsides(const std::string& root, const std::vector<JournalFile>& files)
{
    bool clean = true;
    for (const JournalFile& f : files)
        if (!f.aside.empty() && ::unlink(Beside(root, f, f.aside).c_str()) != 0 && errno != ENOENT)
            clean = false;
    return clean;
}

bool AnyTokenFile(const std::string& root, const std::vector<JournalFile>& files)
{
    for (const JournalFile& f : files)
        if (KindOf(Beside(root, f, f.temp)) != Kind::Missing ||
            (!f.aside.empty() && KindOf(Beside(root, f, f.aside)) != Kind::Missing))
            return true;
    return false;
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
