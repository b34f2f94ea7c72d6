#include "cardops/savesequence.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <memory>

#include "cardops/buildfiles.h"
#include "cardops/cardwork.h"
#include "cardops/freespace.h"
#include "cardops/journal.h"
#include "cardops/recovery.h"
#include "cardops/removefiles.h"
#include "core/printable.h"
#include "zip/buildcheck.h"
#include "zip/zipread.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

std::string MiB(uint64_t bytes)
{
    const uint64_t mib = (bytes + (1u << 20) - 1) >> 20;
    return std::to_string(mib) + " MB";
}

class SaveRun {
public:
    SaveRun(platform::CardAccess& cards, const SaveRequest& request, const SaveHooks& hooks)
        : cards_(cards), req_(request), hooks_(hooks), name_(request.name)
    {
    }

    SaveResult Run()
    {
        if (!Check() || !Prepare())
            return result_;
        switch (req_.files) {
        case FileWork::Install:
            Install();
            break;
        case FileWork::Remove:
            Remove();
            break;
        case FileWork::None:
            BootOnly();
            break;
        }
        return result_;
    }

    bool Fail(const std::string& text)
    {
        // The words every failed Save starts with, then the cause.
        result_.ok = false;
        result_.error = "Write failed. " + text;
        return false;
    }

private:
    void Log(const std::string& text) const
    {
        if (hooks_.log)
            hooks_.log(text);
    }

    // ---- checks: nothing has been touched yet
    bool Check()
    {
        if (req_.layoutIndex < core::LayoutFat || req_.layoutIndex > core::LayoutExFat)
            return Fail(name_ + ": the card's file system cannot be written");
        if (req_.workFolder.empty())
            return Fail("There is no work folder for the backup and the record of the Save of " + name_);
        if (!cards_.FindVolume(name_, &volume_))
            return Fail(name_ + " is not there any more: the card was removed or replaced");
        if (req_.identity.empty() || volume_.identity != req_.identity)
            return Fail(name_ + " is not the card whose boot record was loaded (it was replaced); load it again");
        if (volume_.sectorSize != core::kSectorSize)
            return Fail(name_ + " has " + std::to_string(volume_.sectorSize) +
                        "-byte sectors; only 512-byte sectors can be written");
        if (volume_.readOnly)
            return Fail(name_ + " is write-protected (check the card's lock switch)");
        const platform::AccessResult access = cards_.CheckWritable(name_);
        if (!access.ok())
            return Fail(name_ + " cannot be written: " + access.why);

        journalPath_ = JournalPath(req_.workFolder, volume_.identity);
        std::error_code ec;
        if (fs::exists(journalPath_, ec)) {
            // Both programs recover a card when they load it; this is for a
            // Save that comes in between.
            const RecoveryReport report = Recover(cards_, req_.workFolder, name_);
            result_.nothingChanged = !report.changed;
            result_.filesChanged = report.changed;
            return Fail(report.message + " Nothing else was changed: load the card again and save.");
        }
        if (req_.files != FileWork::None) {
            std::string why;
            root_ = detail::FilesRoot(cards_, name_, &why);
            if (root_.empty())
                return Fail(req_.files == FileWork::Install
                                ? "The card is not mounted: Magic Lantern cannot be installed on " + name_ + " (" +
                                      why + ")"
                                : "The card is not mounted: the Magic Lantern files on " + name_ +
                                      " cannot be removed (" + why + ")");
        }
        if (req_.files == FileWork::Install)
            return CheckBuild();
        if (req_.files == FileWork::Remove)
            removals_ = PlanRemoval(root_);
        return true;
    }

    bool CheckBuild()
    {
        const BuildCheckResult build = CheckBuildArchiveFile(req_.archive);
        if (!build.ok) {
            std::string where = fs::path(req_.archive).filename().string();
            if (!build.entry.empty())
                where += ": " + core::Printable(build.entry);
            return Fail("The build cannot be installed on " + name_ + ": " + where + ": " + build.reason);
        }
        std::string why;
        try {
            zip_ = std::make_unique<TZipRead>(req_.archive);
        } catch (const std::exception& error) {
            return Fail("The build cannot be installed on " + name_ + ": " + req_.archive + ": " + error.what());
        }
        if (!PlanInstall(*zip_, root_, req_.skipFirmware, &plan_, &why))
            return Fail("Magic Lantern cannot be installed on " + name_ + ": " + why + ". Nothing was changed");
        uint64_t freeBytes = 0;
        uint64_t unit = 0;
        if (!platform::FileSystemSpace(root_, &freeBytes, &unit)) {
            // Some drivers do not tell: the allocation table does.
            FreeClusters counted;
            const SectorReader read = [this](uint64_t first, uint32_t count, uint8_t* buffer) {
                return cards_.ReadSectors(name_, first, count, buffer, static_cast<size_t>(count) * 512).ok();
            };
            if (!CountFreeClusters(read, &counted, &why)) {
                Log("The free space of " + name_ + " is not known (" + why + "); unpacking checks every write");
                return true;
            }
            freeBytes = counted.FreeBytes();
            unit = counted.clusterBytes;
        }
        const uint64_t need = SpaceNeeded(plan_.totalBytes, plan_.files.size(), plan_.madeFolders.size(), unit);
        const uint64_t spare = std::max<uint64_t>(1u << 20, need / 20);
        if (need + spare > freeBytes)
            return Fail(name_ + " has " + MiB(freeBytes) + " free; the build needs " + MiB(need + spare));
        return true;
    }

    // ---- backup and journal, still before the first change of the card
    bool Prepare()
    {
        std::string why;
        Region current{};
        if (!detail::ReadRegion(cards_, name_, &current, &why))
            return Fail(why);
        if (!SameVolume(current, req_.loaded, req_.layoutIndex))
            return Fail("The boot record of " + name_ +
                        " changed since it was loaded (was the card formatted?); load it again");
        if (!KeepBackup(req_.workFolder, volume_, current, &result_.backupPath, &why))
            return Fail("No backup of the boot record of " + name_ + " could be kept, so nothing was written: " + why);
        journal_.identity = volume_.identity;
        journal_.name = name_;
        journal_.operation = req_.files == FileWork::Install  ? Operation::Install
                             : req_.files == FileWork::Remove ? Operation::Remove
                                                              : Operation::Boot;
        journal_.phase = req_.files == FileWork::Install ? Phase::Unpack : Phase::Boot;
        journal_.token = plan_.token.empty() ? "000" : plan_.token;
        journal_.layoutIndex = req_.layoutIndex;
        journal_.before = current;
        journal_.after = WriteTarget(current, req_.loaded, req_.edited, req_.layoutIndex);
        journal_.madeFolders = plan_.madeFolders;
        journal_.files = plan_.JournalFiles();
        journal_.removals = removals_;
        if (!WriteJournal(journalPath_, journal_, &why))
            return Fail("No record of the Save could be kept in the work folder, so nothing was written to " + name_ +
                        ": " + why);
        return true;
    }

    bool NextPhase(Phase phase, std::string* failure = nullptr)
    {
        journal_.phase = phase;
        std::string why;
        if (WriteJournal(journalPath_, journal_, &why))
            return true;
        if (failure)
            *failure = "the record of the Save could not be updated: " + why;
        else
            result_.notes.push_back("The record of the Save could not be updated: " + why);
        return false;
    }
    void Finished()
    {
        std::string why;
        if (!RemoveJournal(journalPath_, &why))
            result_.notes.push_back(why);
    }

    // The boot record; false (and a failure) when it was not written.
    bool Boot()
    {
        result_.nothingChanged = false;
        const detail::BootWrite written =
            detail::WriteBoot(cards_, name_, req_.identity, req_.layoutIndex, req_.loaded, req_.edited);
        result_.unmounted = written.unmounted;
        if (written.ok) {
            result_.ok = true;
            result_.written = written.written;
        } else {
            Fail(written.why);
        }
        MountAgain();
        return written.ok;
    }
    void MountAgain()
    {
        if (!result_.unmounted || result_.remounted)
            return;
        std::string why;
        root_ = detail::FilesRoot(cards_, name_, &why);
        result_.remounted = !root_.empty();
        result_.mountPoint = root_;
        if (!result_.remounted)
            Log("The card was unmounted so that its boot record could be written safely; you may mount it again");
    }
    // After a failed boot write: a region the write did not change needs no
    // recovery; one it may have changed is finished at the next start.
    void SettleFailedBoot()
    {
        Region now{};
        if (detail::ReadRegion(cards_, name_, &now, nullptr) &&
            HoldsNoChange(now, journal_.before, journal_.after, journal_.layoutIndex))
            Finished();
        else
            result_.notes.push_back("The next start of Flintor finishes writing the boot record of " + name_ + ".");
    }

    void BootOnly()
    {
        if (Boot())
            Finished();
        else
            SettleFailedBoot();
    }

    void Install()
    {
        result_.nothingChanged = false;
        result_.filesChanged = true;
        const std::vector<JournalFile>& files = journal_.files;
        std::string why;
        const bool unpacked = UnpackFiles(*zip_, root_, plan_, hooks_.progress, &why) &&
                              detail::SyncFiles(root_, &why) && NextPhase(Phase::Commit, &why);
        const CommitResult commit = unpacked ? CommitFiles(root_, files, &why) : CommitResult::Undone;
        if (commit == CommitResult::Stuck) {
            Fail("Magic Lantern was not installed on " + name_ + ": " + why +
                 "; the next start of Flintor finishes the installation");
            return;
        }
        if (commit == CommitResult::Undone) {
            // Every file is back: from here on a stop is undone, not finished.
            if (unpacked)
                NextPhase(Phase::Unpack);
            const bool clean = RemoveTemporaries(root_, files, plan_.madeFolders);
            std::string ignored;
            detail::SyncFiles(root_, &ignored);
            if (clean)
                Finished();
            Fail("Magic Lantern was not installed on " + name_ + ": " + why +
                 ". Every file of the card is as it was; the boot record was not written");
            return;
        }
        if (!detail::SyncFiles(root_, &why)) {
            Fail("Magic Lantern's files on " + name_ + " could not be flushed to the card: " + why +
                 "; the next start of Flintor finishes the installation");
            return;
        }
        result_.installed = true;
        const bool written = Boot();
        // The build is complete on the card either way; what it replaced goes.
        if (!written)
            result_.error += ". Magic Lantern's files are on the card";
        NextPhase(Phase::Cleanup);
        if (!root_.empty() && DeleteAsides(root_, files) && detail::SyncFiles(root_, &why))
            Finished();
        else
            result_.notes.push_back("The files the build replaced on " + name_ +
                                    " are deleted when Flintor next starts with the card mounted.");
    }

    void Remove()
    {
        if (!Boot()) {
            SettleFailedBoot();
            result_.error += "; no file was removed";
            return;
        }
        result_.filesChanged = true;
        NextPhase(Phase::Files);
        std::string why;
        if (root_.empty()) {
            result_.notes.push_back("The Magic Lantern files on " + name_ +
                                    " could not be reached after the boot record was written; the next start of "
                                    "Flintor with the card mounted removes them.");
            return;
        }
        std::vector<std::string> left;
        RemoveNamed(root_, removals_, &left);
        detail::SyncFiles(root_, &why);
        Finished();
        result_.removed = left.empty();
        for (const std::string& name : left)
            result_.notes.push_back(name + " could not be removed from " + name_);
    }

    platform::CardAccess& cards_;
    const SaveRequest& req_;
    const SaveHooks& hooks_;
    const std::string& name_;
    SaveResult result_;
    platform::Volume volume_;
    std::string journalPath_;
    std::string root_;
    std::unique_ptr<TZipRead> zip_;
    InstallPlan plan_;
    std::vector<std::string> removals_;
    Journal journal_;
};

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
    SaveResult failed;
    failed.nothingChanged = false;  // not known
    try {
        return SaveRun(cards, request, hooks).Run();
    } catch (const std::exception& error) {
        failed.error = "Write failed. " + request.name + ": " + error.what();
    } catch (...) {
        failed.error = "Write failed. " + request.name + ": the Save stopped on an unexpected error";
    }
    return failed;
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
    if (!detail::ReadRegion(cards, name, &r.loaded, why))
        return false;
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
