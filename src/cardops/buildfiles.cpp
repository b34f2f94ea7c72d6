#include "cardops/buildfiles.h"

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
#include "platform/cardfiles.h"
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

// What path names; a link is Other, never followed.
Kind KindOf(const std::string& path)
{
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec)
        return Kind::Missing;
    return fs::is_regular_file(status) ? Kind::File : fs::is_directory(status) ? Kind::Folder : Kind::Other;
}

// Renames from to to (a file there is replaced); false on a failure, with
// the system's words in *error.
bool Rename(const std::string& from, const std::string& to, std::string* error = nullptr)
{
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec && error)
        *error = ec.message();
    return !ec;
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
    platform::FileReader file(path);
    if (!file.IsOpen())
        return false;
    uLong sum = crc32(0, nullptr, 0);
    uint64_t total = 0;
    unsigned char buffer[65536];
    int64_t n;
    while ((n = file.Read(buffer, sizeof buffer)) > 0) {
        sum = crc32(sum, buffer, static_cast<uInt>(n));
        total += static_cast<uint64_t>(n);
    }
    return n == 0 && total == size && static_cast<uint32_t>(sum) == crc;
}

// Written under a name nothing on the card has (a link there is refused, not
// followed), and on storage before the commit renames it into place.
bool WriteEntry(TZipRead& zip, int entry, const std::string& path, std::string* why)
{
    platform::NewFile file(path, platform::NewFile::Create::Exclusive, platform::Readers::Everyone);
    if (!file.IsOpen())
        return Fail(why, file.Error());
    bool written = true;
    std::string extractWhy;
    const bool extracted = zip.ExtractTo(
        entry,
        [&](const char* data, size_t size) {
            written = file.Write(data, size);
            return written;
        },
        &extractWhy);
    written = written && file.Flush();
    std::string writeError = written ? std::string() : file.Error();
    if (!file.Close() && written)
        writeError = file.Error();
    if (!writeError.empty())
        return Fail(why, writeError);
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
        std::string error;
        if (!platform::MakeFolder(path, platform::Readers::Everyone, &error))
            return Fail(why, "cannot make the folder " + path + ": " + error);
        if (KindOf(path) != Kind::Folder)  // a file or a link took the name
            return Fail(why, "cannot make the folder " + path + ": " + std::strerror(EEXIST));
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
    std::string error;
    for (; done < files.size(); ++done) {
        const JournalFile& f = files[done];
        const std::string final = On(root, f.path);
        asideMoved = false;
        if (!f.aside.empty()) {
            if (!Rename(final, Beside(root, f, f.aside), &error))
                break;
            asideMoved = true;
        } else if (KindOf(final) != Kind::Missing) {
            error = std::strerror(EEXIST);  // something took the new file's name since the plan
            break;
        }
        if (!Rename(Beside(root, f, f.temp), final, &error))
            break;
    }
    if (done == files.size())
        return CommitResult::Done;
    Fail(why, "cannot put " + On(root, files[done].path) + " in place: " + error);
    // Back to where the commit began: the failed file's original returns,
    // every file already in place goes back to its temporary name.
    bool undone = true;
    const JournalFile& failed = files[done];
    if (asideMoved)
        undone = Rename(Beside(root, failed, failed.aside), On(root, failed.path));
    while (done-- > 0) {
        const JournalFile& f = files[done];
        undone = Rename(On(root, f.path), Beside(root, f, f.temp)) && undone;
        if (!f.aside.empty())
            undone = Rename(Beside(root, f, f.aside), On(root, f.path)) && undone;
    }
    return undone ? CommitResult::Undone : CommitResult::Stuck;
}

bool RemoveTemporaries(const std::string& root, const std::vector<JournalFile>& files,
                       const std::vector<std::string>& madeFolders)
{
    bool clean = true;
    for (const JournalFile& f : files)
        clean = platform::RemoveFile(Beside(root, f, f.temp), nullptr) && clean;
    for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it)
        platform::RemoveEmptyFolder(On(root, *it));
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
        std::string error;
        if (KindOf(final) != Kind::Missing && !Rename(final, Beside(root, f, f.aside), &error))
            return Fail(why, "cannot set " + final + " aside: " + error);
        if (!Rename(Beside(root, f, f.temp), final, &error))
            return Fail(why, "cannot put " + final + " in place: " + error);
    }
    return true;
}

bool DeleteAsides(const std::string& root, const std::vector<JournalFile>& files)
{
    bool clean = true;
    for (const JournalFile& f : files)
        if (!f.aside.empty() && !platform::RemoveFile(Beside(root, f, f.aside), nullptr))
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
