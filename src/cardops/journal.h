// The record of a card operation in progress, kept in the work folder so that
// an operation cut short (the program killed, the power gone) is finished or
// undone at the next start.
//
// One file per medium, "<work folder>/journal/<hash of the identity>.journal",
// written whole under a temporary name, flushed and renamed (and its folder
// flushed) before the card is changed, rewritten the same way at every phase
// change and removed at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cardops/bootregion.h"

namespace cardops {

enum class Operation {
    Boot,     // the boot record only
    Install,  // a build's files, then the boot record
    Remove,   // the boot record, then the build's files
};

enum class Phase {
    Boot,     // the boot record is being written
    Unpack,   // install: files are written under temporary names
    Commit,   // install: temporary names are renamed into place
    Cleanup,  // install: the replaced files, set aside, are deleted
    Files,    // remove: the build's files are deleted
};

// A file of an install: where it goes, the temporary name it is written
// under and the name a file it replaces is set aside as (both in the final
// name's folder; aside empty for a new file), and what it holds.
struct JournalFile {
    std::string path;  // relative to the card's root, "/" between folders
    std::string temp;
    std::string aside;
    uint64_t size = 0;
    uint32_t crc = 0;
};

struct Journal {
    std::string identity;  // the medium's identity (Volume::identity)
    std::string name;      // the card's name when the operation began
    Operation operation = Operation::Boot;
    Phase phase = Phase::Boot;
    std::string token;  // three hex digits in every temporary name
    int layoutIndex = -1;
    Region before{};                       // the boot region before the write
    Region after{};                        // the boot region as the write makes it
    std::vector<std::string> madeFolders;  // install: folders it makes, outside in
    std::vector<JournalFile> files;        // install
    std::vector<std::string> removals;     // remove: files and the folder, relative to the root
};

// Where the journal of a medium lives.
std::string JournalPath(const std::string& workFolder, const std::string& identity);

std::string EncodeJournal(const Journal& journal);
// False (with why) for a text that is not a whole journal, or one naming a
// path outside the card's root or a temporary name without the token.
bool DecodeJournal(const std::string& text, Journal* journal, std::string* why);

// Writes the journal under a temporary name, flushes it, renames it into
// place and flushes the folder.
bool WriteJournal(const std::string& path, const Journal& journal, std::string* why);
bool ReadJournal(const std::string& path, Journal* journal, std::string* why);
// Removes the journal and flushes its folder.
bool RemoveJournal(const std::string& path, std::string* why);

// A relative name below the card's root: not empty, not absolute, no empty,
// "." or ".." part ("a..b.txt" is a name like any other).
bool SafeRelativePath(const std::string& path);

}  // namespace cardops
