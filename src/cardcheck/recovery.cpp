#include "cardcheck/recovery.h"

#include <filesystem>

#include "cardcheck/probe.h"
#include "cardcheck/session.h"
#include "platform/carddevice.h"

namespace fs = std::filesystem;

namespace cardcheck {

namespace {

// Whether the open card holds this run's data where the journal says it wrote.
bool OpenAndRecognise(platform::CardAccess& cards, const std::string& name, const JournalHeader& header,
                      const std::vector<JournalRecord>& records)
{
    std::unique_ptr<platform::CardDevice> device;
    return cards.OpenDevice(name, false, &device).ok() && HoldsRunData(*device, header, records);
}

// An interrupted speed test through files left its test file: it goes when
// it is this run's.
RecoverResult RemoveTestFile(platform::CardAccess& cards, const Interrupted& what)
{
    std::string root;
    const platform::AccessResult mounted = cards.Mount(what.name, &root);
    std::vector<std::string> places = {what.header.testFile};
    if (mounted.ok())
        places.push_back((fs::path(root) / fs::path(what.header.testFile).filename()).string());
    for (const std::string& path : places) {
        std::unique_ptr<platform::CardDevice> file;
        std::error_code ec;
        if (path.empty() || !fs::is_regular_file(path, ec))
            continue;
        AlignedBuffer unit(kUnit);
        uint64_t address = 0;
        if (!platform::OpenFileDevice(path, kUnit, false, &file).ok() || !file->Read(0, unit.data(), kUnit).ok() ||
            !IsRunUnit(what.header.run, unit.data(), &address))
            continue;
        file.reset();
        fs::remove(path, ec);
        if (ec)
            return {false, "Cannot remove the test file " + path + ": " + ec.message()};
        std::string why;
        platform::SyncFileSystem(fs::path(path).parent_path().string(), &why);
        if (!RemoveJournalFile(what.journal, &why))
            return {false, why};
        return {true, "The test file " + path + " that an interrupted speed test left was removed."};
    }
    if (!mounted.ok())
        return {false, "The card's files cannot be reached to remove the test file of an interrupted speed test: " +
                           mounted.why};
    std::string why;
    if (!RemoveJournalFile(what.journal, &why))
        return {false, why};
    return {true, "An interrupted speed test of " + what.name + " left no test file."};
}

}  // namespace

std::vector<Interrupted> FindInterrupted(platform::CardAccess& cards, const std::string& workFolder)
{
    std::vector<Interrupted> found;
    const std::vector<platform::Volume> listed = cards.ListVolumes();
    for (const std::string& path : ListJournals(workFolder)) {
        Interrupted it;
        it.journal = path;
        std::vector<JournalRecord> records;
        std::string why;
        if (!ReadJournal(path, &it.header, &records, &why))
            continue;
        for (const platform::Volume& v : listed)
            if (v.identity == it.header.identity)
                it.name = v.name;
        for (const platform::Volume& v : listed)
            if (it.name.empty() && (v.name == it.header.name || v.device == it.header.device) && !records.empty() &&
                OpenAndRecognise(cards, v.name, it.header, records))
                it.name = v.name;
        found.push_back(it);
    }
    return found;
}

RecoverResult Recover(platform::CardAccess& cards, const Interrupted& what, const Hooks& hooks)
{
    if (what.name.empty())
        return {false, "The card of an interrupted check (" + what.header.card + ", " + what.header.created +
                           ") is not there. Put it in to have its data put back."};
    JournalHeader header;
    std::vector<JournalRecord> records;
    std::string why;
    if (!ReadJournal(what.journal, &header, &records, &why))
        return {false, why};
    if (records.empty() && !header.testFile.empty())
        return RemoveTestFile(cards, what);
    const platform::AccessResult unmounted = cards.Unmount(what.name);
    if (!unmounted.ok())
        return {false, "Cannot unmount " + what.name + ": " + unmounted.why};
    std::unique_ptr<platform::CardDevice> device;
    const platform::AccessResult opened = cards.OpenDevice(what.name, true, &device);
    if (!opened.ok())
        return {false, opened.why};
    // Right before the first write: the card must be the journal's.
    platform::Volume now;
    if (!cards.FindVolume(what.name, &now) ||
        (now.identity != header.identity && !HoldsRunData(*device, header, records)))
        return {false, what.name + " cannot be shown to be the card of the interrupted check; nothing was written"};
    const auto progress = [&hooks](double f) {
        if (hooks.progress)
            hooks.progress(Progress{f, "Putting the card's data back", -1});
    };
    if (!PutBack(*device, what.journal, records, progress, &why))
        return {false, why + ". The data stays in " + what.journal + "; try again."};
    device.reset();
    if (!RemoveJournalFile(what.journal, &why))
        return {false, why};
    return {true, "The data of " + what.name + " that an interrupted check had overwritten was put back (" +
                      header.created + ")."};
}

}  // namespace cardcheck
