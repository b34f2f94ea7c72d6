#include "cardops/recovery.h"

#include <cstdio>
#include <filesystem>

#include "cardops/buildfiles.h"
#include "cardops/cardwork.h"
#include "cardops/journal.h"
#include "cardops/removefiles.h"

namespace cardops {

namespace {

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : ", ") + name;
    return text;
}

class Recovery {
public:
    Recovery(platform::CardAccess& cards, std::string path, Journal journal, const std::string& name)
        : cards_(cards), path_(std::move(path)), j_(std::move(journal))
    {
        report_.name = name;
        report_.found = true;
    }

    RecoveryReport Run()
    {
        Region current{};
        std::string why;
        if (!detail::ReadRegion(cards_, Name(), &current, &why))
            return Keep(why);
        if (!SameVolume(current, j_.before, j_.layoutIndex))
            return Drop("A record of an unfinished Save of " + Name() +
                        " was found, but the card holds another volume now (was it formatted?); the record was "
                        "dropped and nothing was changed.");
        switch (j_.operation) {
        case Operation::Install:
            return Install();
        case Operation::Remove:
            return Remove(current);
        case Operation::Boot:
            break;
        }
        if (HoldsChanges(current, j_.before, j_.after, j_.layoutIndex) ||
            HoldsNoChange(current, j_.before, j_.after, j_.layoutIndex))
            return Drop("A Save of " + Name() + " was cut short; its boot record is whole, nothing was changed.");
        if (!FinishBootWrite(&why))
            return Keep("A Save of " + Name() +
                        " was cut short while its boot record was written, and the write "
                        "could not be finished: " +
                        why);
        return Drop("A Save of " + Name() +
                    " was cut short while its boot record was written; the write was finished.");
    }

private:
    const std::string& Name() const { return report_.name; }

    RecoveryReport Drop(const std::string& message)
    {
        std::string why;
        report_.settled = RemoveJournal(path_, &why);
        report_.message = message + (report_.settled ? std::string() : " (" + why + ")");
        return report_;
    }
    RecoveryReport Keep(const std::string& message)
    {
        report_.message = message + " The record stays in " + path_ + "; start Flintor again to finish it.";
        return report_;
    }
    // The card does not hold what the journal names: it may be a copy of the
    // card the journal was made for, which then still needs it.
    RecoveryReport KeepForAnother(const std::string& message)
    {
        report_.message = message + " The record stays in " + path_ +
                          ": the next start with the card it was made for finishes it. If this card is a copy of "
                          "that card, delete the record to save it again.";
        return report_;
    }
    bool Root(std::string* why)
    {
        if (root_.empty())
            root_ = detail::FilesRoot(cards_, Name(), why);
        return !root_.empty();
    }
    bool FinishBootWrite(std::string* why)
    {
        const detail::BootWrite written =
            detail::WriteBoot(cards_, Name(), j_.identity, j_.layoutIndex, j_.before, j_.after);
        report_.changed = report_.changed || written.touched;
        if (written.unmounted) {
            // Mounted again for the file work that follows, and for the user.
            root_.clear();
            std::string ignored;
            Root(&ignored);
        }
        *why = written.why;
        return written.ok;
    }

    RecoveryReport Install()
    {
        std::string why;
        if (!Root(&why))
            return Keep("An unfinished installation onto " + Name() + " was found, but its files cannot be reached (" +
                        why + "); mount the card.");
        if (j_.phase == Phase::Unpack || j_.phase == Phase::Boot) {
            report_.changed = AnyTokenFile(root_, j_.files);
            if (!RemoveTemporaries(root_, j_.files, j_.madeFolders) || !detail::SyncFiles(root_, &why))
                return Keep("The files an unfinished installation wrote onto " + Name() + " could not all be removed.");
            return Drop("An installation of Magic Lantern onto " + Name() +
                        " was cut short before any file of the card was changed; the files it had begun to write "
                        "were removed.");
        }
        std::string done = "it had been completed; the files it replaced were deleted.";
        if (j_.phase == Phase::Commit) {
            if (!RollForward(root_, j_.files, &why))
                return KeepForAnother("An installation onto " + Name() +
                                      " was cut short, but the card does not hold what it "
                                      "was writing (" +
                                      why + "); nothing was changed.");
            report_.changed = true;
            if (!detail::SyncFiles(root_, &why) || !FinishBootWrite(&why))
                return Keep("An installation onto " + Name() +
                            " was cut short; the build's files are in place, but the boot record could not be "
                            "written: " +
                            why);
            j_.phase = Phase::Cleanup;
            WriteJournal(path_, j_, &why);
            done = "it was completed: the build's files and the boot record are in place.";
        }
        if (!Root(&why) || !DeleteAsides(root_, j_.files) || !detail::SyncFiles(root_, &why))
            return Keep("The files an installation onto " + Name() + " replaced could not all be deleted.");
        report_.changed = true;
        return Drop("An installation of Magic Lantern onto " + Name() + " was cut short; " + done);
    }

    RecoveryReport Remove(const Region& current)
    {
        std::string why;
        if (!HoldsChanges(current, j_.before, j_.after, j_.layoutIndex)) {
            if (j_.phase == Phase::Boot && HoldsNoChange(current, j_.before, j_.after, j_.layoutIndex))
                return Drop("A removal of Magic Lantern from " + Name() +
                            " was cut short before anything was changed; nothing was removed.");
            if (j_.phase != Phase::Boot)
                return KeepForAnother(
                    "A removal from " + Name() +
                    " was cut short, but the card's boot record is not the one it wrote; no file was removed.");
            if (!FinishBootWrite(&why))
                return Keep("A removal from " + Name() + " was cut short while its boot record was written: " + why);
        }
        if (!Root(&why))
            return Keep("An unfinished removal from " + Name() + " was found, but its files cannot be reached (" + why +
                        "); mount the card.");
        std::vector<std::string> left;
        RemoveNamed(root_, j_.removals, &left);
        detail::SyncFiles(root_, &why);
        report_.changed = true;
        return Drop("A removal of Magic Lantern from " + Name() +
                    " was cut short; it was finished: the card does not start the build any more and its files were "
                    "removed" +
                    (left.empty() ? std::string(".") : " (apart from " + JoinNames(left) + ")."));
    }

    platform::CardAccess& cards_;
    std::string path_;
    Journal j_;
    RecoveryReport report_;
    std::string root_;
};

// The journal of the card as it was listed, or "" when the work folder holds none.
std::string JournalOf(const std::string& workFolder, const platform::Volume& volume)
{
    if (workFolder.empty() || volume.identity.empty())
        return {};
    std::string path = JournalPath(workFolder, volume.identity);
    std::error_code ec;
    return std::filesystem::exists(path, ec) ? path : std::string();
}

RecoveryReport RecoverVolume(platform::CardAccess& cards, const std::string& path, const platform::Volume& volume)
{
    const std::string& name = volume.name;
    RecoveryReport report;
    report.name = name;
    Journal journal;
    std::string why;
    if (!ReadJournal(path, &journal, &why)) {
        // Kept for a look, never acted on.
        const std::string aside = path + ".damaged";
        std::rename(path.c_str(), aside.c_str());
        report.found = true;
        report.message = "A damaged record of an unfinished Save of " + name + " was set aside as " + aside + " (" +
                         why + "); nothing was changed.";
        return report;
    }
    if (journal.identity != volume.identity)
        return report;  // another medium's journal under the same hash
    return Recovery(cards, path, std::move(journal), name).Run();
}

}  // namespace

RecoveryReport Recover(platform::CardAccess& cards, const std::string& workFolder, const std::string& name)
{
    platform::Volume volume;
    const std::string path =
        !workFolder.empty() && cards.FindVolume(name, &volume) ? JournalOf(workFolder, volume) : std::string();
    if (path.empty()) {
        RecoveryReport report;
        report.name = name;
        return report;
    }
    return RecoverVolume(cards, path, volume);
}

std::vector<RecoveryReport> RecoverAll(platform::CardAccess& cards, const std::string& workFolder)
{
    std::vector<RecoveryReport> reports;
    if (workFolder.empty())
        return reports;
    for (const platform::Volume& volume : cards.ListVolumes()) {
        const std::string path = JournalOf(workFolder, volume);
        if (!path.empty())
            reports.push_back(RecoverVolume(cards, path, volume));
    }
    return reports;
}

}  // namespace cardops
