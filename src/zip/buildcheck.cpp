#include "zip/buildcheck.h"

#include "zip/entryname.h"
#include "zip/fatname.h"

#include <algorithm>
#include <map>
#include <new>
#include <set>
#include <utility>

namespace {

BuildCheckResult Refused(std::string entry, std::string reason)
{
    BuildCheckResult result;
    result.entry = std::move(entry);
    result.reason = std::move(reason);
    return result;
}

}  // namespace

BuildCheckResult CheckBuildArchive(TZipRead& zip, const std::function<void(int percent)>& progress)
{
    int shown = -1;
    const auto report = [&](int percent) {
        if (progress && percent != shown) {
            shown = percent;
            progress(percent);
        }
    };
    report(0);

    // First what can be seen from the directory alone, so a refusal needs no
    // inflating: names, methods, encryption, and where each entry would land.
    BuildCheckResult result;
    std::map<std::string, bool> paths;  // folded card path (no trailing "/") -> is a folder
    std::set<std::string> folders;
    bool hasStartFile = false;
    uint64_t totalCompressed = 0;
    const size_t count = std::min(static_cast<size_t>(std::max(zip.EntryCount, 0)), zip.Entries.size());
    for (size_t i = 0; i < count; ++i) {
        const TZipEntry& entry = zip.Entries[i];
        std::string relative;
        bool isFolder = false;
        if (!SafeEntryPath(entry.Name, &relative, &isFolder))
            return Refused(entry.Name,
                           "its name is not safe to write onto a card (it could land outside the card's folders)");
        if (std::string problem = FatNameProblem(relative); !problem.empty())
            return Refused(entry.Name, std::move(problem));
        if (entry.Encrypted)
            return Refused(entry.Name, "it is encrypted");
        if (entry.Method != 0 && entry.Method != 8) {
            // The reader's own words name the method.
            std::string why;
            zip.ExtractTo(
                static_cast<int>(i), [](const char*, size_t) { return false; }, &why);
            return Refused(entry.Name, why);
        }
        if (isFolder)
            relative.pop_back();
        // Where it lands: the card's file systems ignore letter case.
        const std::string folded = FatFolded(relative);
        // Every folder above it, and the entry itself.
        for (size_t slash = folded.find('/'); slash != std::string::npos; slash = folded.find('/', slash + 1)) {
            const std::string parent = folded.substr(0, slash);
            const auto [at, added] = paths.emplace(parent, true);
            if (!added && !at->second)
                return Refused(entry.Name, "a file in the archive has the name of one of its folders");
            folders.insert(parent);
        }
        const auto [at, added] = paths.emplace(folded, isFolder);
        if (!added && (!isFolder || !at->second))
            return Refused(entry.Name, at->second != isFolder
                                           ? "a file in the archive has the name of one of its folders"
                                           : "the archive holds a file of this name twice");
        if (isFolder) {
            folders.insert(folded);
        } else {
            ++result.fileCount;
            result.totalBytes += entry.UncompressedSize;
            hasStartFile = hasStartFile || folded == "autoexec.bin";
        }
        totalCompressed += entry.CompressedSize;
    }
    if (!hasStartFile)
        return Refused("", "it holds no autoexec.bin in its top folder, so it is not a build for the camera");

    // Then every entry's data, inflated and thrown away.
    uint64_t done = 0;
    for (size_t i = 0; i < count; ++i) {
        std::string why;
        if (!zip.ExtractTo(
                static_cast<int>(i), [](const char*, size_t) { return true; }, &why))
            return Refused(zip.Entries[i].Name, why);
        done += zip.Entries[i].CompressedSize;
        report(totalCompressed ? static_cast<int>(done * 100 / totalCompressed) : 100);
    }
    report(100);
    result.ok = true;
    result.folderCount = folders.size();
    return result;
}

BuildCheckResult CheckBuildArchiveFile(const std::string& path, const std::function<void(int percent)>& progress)
{
    try {
        TZipRead zip(path);
        return CheckBuildArchive(zip, progress);
    } catch (const ZipError& error) {
        const std::string what = error.what();
        if (what == "Missing File")
            return Refused("", "the file is missing, empty or cannot be read (Missing File)");
        return Refused("", "it is not a zip archive (" + what + ")");
    } catch (const std::bad_alloc&) {
        return Refused("", "there is not enough memory to check it");
    } catch (const std::exception& error) {
        return Refused("", std::string("it cannot be checked (") + error.what() + ")");
    } catch (...) {
        return Refused("", "it cannot be checked");
    }
}
