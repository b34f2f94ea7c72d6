#include "cardops/savesequence.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>

#include "cardops/buildfiles.h"
#include "core/printable.h"
#include "zip/buildcheck.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

constexpr uint32_t kSector = core::kSectorSize;

// The places of a boot sector that define the volume: the parameter block
// (sector size, cluster size, sizes and positions of the tables) and the
// serial number. File-system drivers change other bytes (the dirty flags,
// exFAT's VolumeFlags and PercentInUse), never these.
struct Span {
    uint32_t first;
    uint32_t count;
};

std::vector<Span> VolumeDefiningBytes(int layoutIndex)
{
    switch (layoutIndex) {
    case core::LayoutFat:
        return {{0x0B, 0x24 - 0x0B}, {0x27, 4}};
    case core::LayoutFat32:
        return {{0x0B, 0x34 - 0x0B}, {0x43, 4}};
    case core::LayoutExFat:
        return {{0x03, 8}, {64, 106 - 64}};
    default:
        return {};
    }
}

bool SameVolume(const Region& a, const Region& b, int layoutIndex)
{
    for (const Span& s : VolumeDefiningBytes(layoutIndex))
        for (uint32_t i = 0; i < s.count; ++i)
            if (a[s.first + i] != b[s.first + i])
                return false;
    return true;
}

std::string JournalPath(const std::string& workFolder, const std::string& key)
{
    return (fs::path(workFolder) / "journal" / (key + ".txt")).string();
}

// The journal names the files an install wrote relative to the card's root,
// so that they are found again when the card is mounted somewhere else.
std::vector<std::string> ReadJournal(const std::string& path, const std::string& root)
{
    std::vector<std::string> files;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const fs::path relative(line);
        // Only names below the root: a damaged journal must not reach elsewhere.
        if (line.empty() || relative.is_absolute() || line.find("..") != std::string::npos)
            continue;
        files.push_back((fs::path(root) / relative).string());
    }
    return files;
}

std::string RelativeToRoot(const std::string& path, const std::string& root)
{
    return fs::path(path).lexically_relative(root).string();
}

struct Context {
    platform::CardAccess& cards;
    const SaveHooks& hooks;
    SaveResult result;
    void Log(const std::string& text) const
    {
        if (hooks.log)
            hooks.log(text);
    }
    SaveResult& Fail(const std::string& text)
    {
        // The words every failed Save starts with, then the cause.
        result.ok = false;
        result.error = "Write failed. " + text;
        return result;
    }
};

std::string MiB(uint64_t bytes)
{
    const uint64_t mib = (bytes + (1u << 20) - 1) >> 20;
    return std::to_string(mib) + " MB";
}

// Writes `count` sectors of region from `first` on, then reads them back past
// the cache and compares.
bool WriteAndCheck(Context& c, const std::string& name, const Region& region, uint32_t first, uint32_t count,
                   std::string* why)
{
    const uint8_t* data = region.data() + static_cast<size_t>(first) * kSector;
    const size_t size = static_cast<size_t>(count) * kSector;
    platform::AccessResult r = c.cards.WriteSectors(name, first, count, data, size);
    if (!r.ok()) {
        *why = r.why;
        return false;
    }
    std::vector<uint8_t> back(size);
    r = c.cards.ReadSectorsUncached(name, first, count, back.data(), back.size());
    if (!r.ok()) {
        *why = "the written sectors could not be read back: " + r.why;
        return false;
    }
    if (std::memcmp(back.data(), data, size) != 0) {
        *why = "the card did not keep what was written (it may be worn out, or its lock switch is on)";
        return false;
    }
    return true;
}

SaveResult RunSave(Context& c, const SaveRequest& req)
{
    const std::string& name = req.name;
    // ---- 1. checks: nothing has been touched yet
    if (req.layoutIndex < core::LayoutFat || req.layoutIndex > core::LayoutExFat)
        return c.Fail(name + ": the card's file system cannot be written");
    platform::Volume volume;
    if (!c.cards.FindVolume(name, &volume))
        return c.Fail(name + " is not there any more: the card was removed or replaced");
    if (req.identity.empty() || volume.identity != req.identity)
        return c.Fail(name + " is not the card whose boot record was loaded (it was replaced); load it again");
    if (volume.sectorSize != kSector)
        return c.Fail(name + " has " + std::to_string(volume.sectorSize) +
                      "-byte sectors; only 512-byte sectors can be written");
    if (volume.readOnly)
        return c.Fail(name + " is write-protected (check the card's lock switch)");
    platform::AccessResult access = c.cards.CheckWritable(name);
    if (!access.ok())
        return c.Fail(name + " cannot be written: " + access.why);

    const std::string mediumKey = MediumKey(volume, req.loaded);
    const std::string journal = JournalPath(req.workFolder, mediumKey);
    std::error_code ec;
    const bool unfinished = fs::exists(journal, ec);

    std::string root;
    if (req.files != FileWork::None || unfinished) {
        access = c.cards.Mount(name, &root);
        if (!access.ok()) {
            if (req.files == FileWork::Install)
                return c.Fail("The card is not mounted: Magic Lantern cannot be installed on " + name + " (" +
                              access.why + ")");
            if (req.files == FileWork::Remove)
                return c.Fail("The card is not mounted: the Magic Lantern files on " + name + " cannot be removed (" +
                              access.why + ")");
            return c.Fail("An earlier installation onto " + name +
                          " did not finish, and its files cannot be reached to remove them (" + access.why + ")");
        }
    }

    // A build that was left half-written is taken off before anything else,
    // and this Save stops there: its start file may be one of the leftovers.
    if (unfinished) {
        const std::vector<std::string> leftovers = ReadJournal(journal, root);
        if (!RollBack(leftovers, {}))
            return c.Fail("An earlier installation onto " + name +
                          " did not finish and its files could not be removed");
        std::string why;
        platform::SyncFileSystem(root, &why);
        fs::remove(journal, ec);
        c.result.nothingChanged = false;
        c.result.filesChanged = true;
        return c.Fail("An earlier installation onto " + name +
                      " did not finish; the files it had written were removed. Nothing else was changed: save again to "
                      "install the build");
    }

    BuildCheckResult build;
    if (req.files == FileWork::Install) {
        build = CheckBuildArchiveFile(req.archive);
        if (!build.ok) {
            std::string where = fs::path(req.archive).filename().string();
            if (!build.entry.empty())
                where += ": " + core::Printable(build.entry);
            return c.Fail("The build cannot be installed on " + name + ": " + where + ": " + build.reason);
        }
        uint64_t freeBytes = 0;
        uint64_t unit = 0;
        if (platform::FileSystemSpace(root, &freeBytes, &unit)) {
            const uint64_t need = SpaceNeeded(build.totalBytes, build.fileCount, build.folderCount, unit);
            const uint64_t spare = std::max<uint64_t>(1u << 20, need / 20);
            if (need + spare > freeBytes)
                return c.Fail(name + " has " + MiB(freeBytes) + " free; the build needs " + MiB(need + spare));
        } else {
            // Some drivers do not tell; a card that fills up is caught while
            // unpacking, and what was written is removed again.
            c.Log("The free space of " + name + " is not known; unpacking checks every write");
        }
    }

    // ---- 2. the region as it is now is kept before the first change
    Region current{};
    access = c.cards.ReadSectors(name, 0, core::kLoadSectors, current.data(), current.size());
    if (!access.ok())
        return c.Fail("The boot record of " + name + " cannot be read: " + access.why);
    if (!SameVolume(current, req.loaded, req.layoutIndex))
        return c.Fail("The boot record of " + name +
                      " changed since it was loaded (was the card formatted?); load it again");
    std::string why;
    if (!KeepBackup(req.workFolder, volume, current, &c.result.backupPath, &why))
        return c.Fail("No backup of the boot record of " + name + " could be kept, so nothing was written: " + why);

    // ---- 3. file work
    if (req.files == FileWork::Install) {
        c.result.nothingChanged = false;
        fs::create_directories(fs::path(journal).parent_path(), ec);
        std::ofstream notes(journal, std::ios::trunc);
        const InstallOutcome outcome =
            InstallBuild(req.archive, root, req.skipFirmware, c.hooks.progress, [&](const std::string& path) {
                notes << RelativeToRoot(path, root) << '\n';
                notes.flush();
            });
        notes.close();
        c.result.filesChanged = true;
        if (!outcome.ok) {
            const bool clean = RollBack(outcome.written, outcome.madeFolders);
            platform::SyncFileSystem(root, &why);
            if (clean)
                fs::remove(journal, ec);
            return c.Fail("Magic Lantern was not installed on " + name + ": " + outcome.error +
                          (clean ? ". The files it had written were removed; the boot record was not written"
                                 : ". Some of the files it had written could not be removed; the boot record was not "
                                   "written, and the next Save removes them"));
        }
        if (!platform::SyncFileSystem(root, &why)) {
            // The journal stays: the next Save takes the build off again.
            return c.Fail("Magic Lantern's files on " + name + " could not be flushed to the card: " + why);
        }
        fs::remove(journal, ec);
        c.result.installed = true;
        c.Log("ML succesfully installed");
    } else if (req.files == FileWork::Remove) {
        c.result.nothingChanged = false;
        c.result.filesChanged = true;
        const bool gone = RemoveBuild(root);
        if (!platform::SyncFileSystem(root, &why) || !gone)
            return c.Fail("The Magic Lantern files on " + name + " could not all be removed" +
                          (why.empty() ? std::string() : ": " + why) + "; the boot record was not written");
        c.result.removed = true;
    }

    // ---- 4. a driver in user space keeps its own copy of the boot sector
    platform::Volume now;
    if (!c.cards.FindVolume(name, &now) || now.identity != req.identity)
        return c.Fail(name + " is not there any more: the card was removed or replaced");
    if (!now.mountPoint.empty() && now.userSpaceMount) {
        access = c.cards.Unmount(name);
        if (!access.ok())
            return c.Fail(
                name +
                " is mounted through a driver that would undo the write, and it could not be unmounted: " + access.why);
        c.result.unmounted = true;
        c.Log("The card was unmounted so that its boot record could be written safely; you may mount it again");
    }

    // ---- 5. re-read, apply only the user's changes, seal, write
    c.result.nothingChanged = false;
    access = c.cards.ReadSectors(name, 0, core::kLoadSectors, current.data(), current.size());
    if (!access.ok())
        return c.Fail("The boot record of " + name + " cannot be read: " + access.why);
    if (!SameVolume(current, req.loaded, req.layoutIndex))
        return c.Fail("The boot record of " + name + " changed since it was loaded; nothing was written to it");
    const uint32_t sectors = static_cast<uint32_t>(core::BootRecord::SaveSectorCount(req.layoutIndex));
    core::BootRecord out;
    out.VBR = current;
    for (size_t i = 0; i < static_cast<size_t>(sectors) * kSector; ++i)
        if (req.edited[i] != req.loaded[i])
            out.VBR[i] = req.edited[i];
    if (req.layoutIndex == core::LayoutExFat) {
        out.SealExFatBootRegion();
        // Backup region first: a write torn in the main region leaves a
        // valid backup, from which the card's driver and fsck recover.
        if (!WriteAndCheck(c, name, out.VBR, 12, 12, &why) || !WriteAndCheck(c, name, out.VBR, 0, 12, &why))
            return c.Fail(name + ": " + why);
    } else if (!WriteAndCheck(c, name, out.VBR, 0, sectors, &why)) {
        return c.Fail(name + ": " + why);
    }
    c.result.ok = true;
    c.result.written = out.VBR;
    return c.result;
}

}  // namespace

FileWork DecideFileWork(bool bootSet, bool labelSet, bool startFileOnCard)
{
    if (bootSet && labelSet)
        return startFileOnCard ? FileWork::None : FileWork::Install;
    if (!bootSet && !labelSet)
        return startFileOnCard ? FileWork::Remove : FileWork::None;
    return FileWork::None;
}

SaveResult Save(platform::CardAccess& cards, const SaveRequest& request, const SaveHooks& hooks)
{
    Context c{cards, hooks, {}};
    try {
        return RunSave(c, request);
    } catch (const std::exception& error) {
        return c.Fail(request.name + ": " + error.what());
    } catch (...) {
        return c.Fail(request.name + ": the Save stopped on an unexpected error");
    }
}

bool MakeRestoreRequest(platform::CardAccess& cards, const std::string& name, const std::string& identity,
                        int layoutIndex, const Region& backup, const std::string& workFolder, SaveRequest* request,
                        std::string* why)
{
    SaveRequest r;
    r.name = name;
    r.identity = identity;
    r.layoutIndex = layoutIndex;
    r.workFolder = workFolder;
    const platform::AccessResult read =
        cards.ReadSectors(name, 0, core::kLoadSectors, r.loaded.data(), r.loaded.size());
    if (!read.ok()) {
        *why = "The boot record of " + name + " cannot be read: " + read.why;
        return false;
    }
    if (!SameVolume(backup, r.loaded, layoutIndex)) {
        *why = "The backup is of another volume than the one now on " + name + "; nothing was written";
        return false;
    }
    r.edited = backup;
    *request = r;
    return true;
}

SaveResult Restore(platform::CardAccess& cards, const std::string& name, const std::string& identity, int layoutIndex,
                   const Region& backup, const std::string& workFolder, const SaveHooks& hooks)
{
    SaveRequest request;
    std::string why;
    if (!MakeRestoreRequest(cards, name, identity, layoutIndex, backup, workFolder, &request, &why)) {
        SaveResult failed;
        failed.error = "Write failed. " + why;
        return failed;
    }
    return Save(cards, request, hooks);
}

}  // namespace cardops
