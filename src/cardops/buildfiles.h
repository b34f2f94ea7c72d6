// Putting a build's files onto a mounted card as one transaction.
//
// Nothing is written before the whole install is planned: the folders it
// makes, and for every file its final name (an existing file matched without
// regard to letter case keeps its spelling), a temporary name in the same
// folder, and the name a file it replaces is set aside as. Temporary and
// aside names carry a token drawn for the install and fit 8.3, so drivers
// that only do short names take them and nothing of the user's is mistaken
// for them: "~" + token + four hex digits + ".TMP" or ".OLD".
//
// Unpack writes every file under its temporary name; commit sets each
// replaced file aside and renames the temporary file into place; cleanup
// deletes what was set aside. Until commit nothing of the user's has been
// touched; a commit that fails is undone by renaming back. Folders are never
// renamed (fusefat loses a renamed folder's content).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cardops/journal.h"

class TZipRead;

namespace cardops {

using Progress = std::function<void(int percent, const std::string& entry)>;

struct PlannedFile : JournalFile {
    int entry = -1;         // archive entry written under this name
    uint32_t dosTime = 0;   // its modification time
    bool replaces = false;  // a file of the card is replaced
};

struct InstallPlan {
    std::string token;
    std::vector<std::string> madeFolders;  // relative, outside in
    std::vector<PlannedFile> files;
    uint64_t totalBytes = 0;
    std::vector<JournalFile> JournalFiles() const { return {files.begin(), files.end()}; }
};

// Plans the install of the archive's entries below root ("*.fir" entries are
// left out, their folders made, when skipFirmware is set). False, with plain
// words in *why, when an entry cannot be installed: a name outside the root,
// a folder where a file goes or a file where a folder goes.
bool PlanInstall(TZipRead& zip, const std::string& root, bool skipFirmware, InstallPlan* plan, std::string* why);

// Makes the plan's folders and writes every file under its temporary name,
// flushed, with the archive's time. Stops at the first failure (why).
bool UnpackFiles(TZipRead& zip, const std::string& root, const InstallPlan& plan, const Progress& progress,
                 std::string* why);

enum class CommitResult {
    Done,    // every file is in place
    Undone,  // a rename failed and every file is back as before the commit
    Stuck,   // a rename failed and so did undoing it
};
CommitResult CommitFiles(const std::string& root, const std::vector<JournalFile>& files, std::string* why);

// Unpack undone: deletes the temporary files and the plan's folders when
// they are empty. True when no temporary file is left.
bool RemoveTemporaries(const std::string& root, const std::vector<JournalFile>& files,
                       const std::vector<std::string>& madeFolders);

// Finishes a commit that was cut short, when the card holds what the files
// name: each file either still under its temporary name or already in place
// with the recorded size and checksum. Otherwise nothing is changed and
// *why says what does not match.
bool RollForward(const std::string& root, const std::vector<JournalFile>& files, std::string* why);

// Deletes the files set aside. True when none is left.
bool DeleteAsides(const std::string& root, const std::vector<JournalFile>& files);

// Whether any temporary or aside file of the list is on the card.
bool AnyTokenFile(const std::string& root, const std::vector<JournalFile>& files);

// The space the build takes on a file system with the given allocation unit:
// every file rounded up to whole units, one unit per folder.
uint64_t SpaceNeeded(uint64_t totalBytes, size_t fileCount, size_t folderCount, uint64_t unit);

}  // namespace cardops
