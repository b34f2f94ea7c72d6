// The Save sequence: everything that changes a card when the user saves it.
//
// The window and the command line only ask for it. It runs on the caller's
// thread, touches no widgets, and reaches the card through platform::CardAccess
// alone, so a fake volume can stand in for a device in tests.
//
// Order of a Save, and why:
//   1. Checks, before anything is touched: the medium is still the one the
//      region was read from, its device opens for writing, its files are
//      reachable when files are to be installed or removed, the build archive
//      is installable whole (planned file by file) and fits the free space
//      with room to spare (counted from the FAT or exFAT bitmap when the
//      driver does not tell).
//   2. The region as it is now is kept as a backup in the work folder (once per
//      medium and time; never overwritten).
//   3. A journal of the operation is written and flushed in the work folder;
//      without it nothing is written. If the program is stopped half-way, the
//      next start brings the card to the state before or after the Save
//      (recovery.h).
//   4. Install: the build's files are written under temporary names, then
//      renamed into place (replaced files set aside until the end); a failure
//      leaves every file of the card as it was and no marker is written.
//   5. The boot record: a card mounted through a user-space driver is
//      unmounted first (such a driver keeps its own copy of the boot sector
//      and would write it back later); the region is read again right before
//      the write and must still be the same volume's; only the bytes the user
//      changed are applied (drivers keep state there); exFAT is sealed and its
//      backup region written first; on FAT32 the backup boot sector gets the
//      same changes after the main one. Each part is read back past the cache.
//      An unmounted card is mounted again.
//   6. Remove: only now, with the boot record no longer starting the build,
//      are its files deleted.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cardops/bootregion.h"
#include "core/bootrecord.h"
#include "platform/cardaccess.h"

namespace cardops {

// What happens to the card's files along with the boot record.
enum class FileWork {
    None,     // the boot record only
    Install,  // unpack the build archive onto the card first
    Remove,   // remove the build's files from the card first
};

// The file work a Save does for the markers it writes: both Magic Lantern
// markers set and no start file on the card installs; both cleared removes
// (after the caller asked the user); anything else touches no files.
FileWork DecideFileWork(bool bootSet, bool labelSet, bool startFileOnCard);

struct SaveRequest {
    std::string name;      // listed card name ("sdb1")
    std::string identity;  // the medium's identity when the region was read
    int layoutIndex = core::LayoutNone;
    Region loaded{};                  // the region as read at load time
    Region edited{};                  // the region with the user's changes (place pair applied, not sealed)
    FileWork files = FileWork::None;  // Remove: `edited` must not start the build (ClearMagicLanternStart)
    std::string archive;              // FileWork::Install: the build archive (zip)
    bool skipFirmware = false;        // leave "*.fir" entries out (development builds)
    std::string workFolder;           // backups and the install journal live here; ends in "/"
};

// How a Save tells its caller what it does. Every member may be left empty.
struct SaveHooks {
    // Progress of the file work: percent 0..100 and the entry being handled.
    std::function<void(int percent, const std::string& entry)> progress;
    // A line for the user (the caller's log).
    std::function<void(const std::string& text)> log;
};

struct SaveResult {
    bool ok = false;                 // the boot region was written and read back as written
    bool filesChanged = false;       // the file work changed the card's files (also when it was rolled back)
    bool installed = false;          // the build is on the card, complete
    bool removed = false;            // the build's files were removed
    bool unmounted = false;          // the card was unmounted so that its boot record could be written safely
    bool remounted = false;          // ... and mounted again afterwards, at mountPoint
    std::string mountPoint;          // where the card's files are after the Save ("" when not mounted)
    bool nothingChanged = true;      // a check refused the Save before anything was touched
    std::string backupPath;          // the backup kept before the first write ("" when none was needed)
    Region written{};                // the region as written (only when ok)
    std::string error;               // "Write failed. " and the cause in plain words, naming the card, when !ok
    std::vector<std::string> notes;  // what the user should know besides (files left, a journal kept)
};

SaveResult Save(platform::CardAccess& cards, const SaveRequest& request, const SaveHooks& hooks = {});

// ----------------------------------------------------------------- backups
// The boot region as it was before a write, one file per medium and time in
// "<work folder>/backups/", with a small description beside it.

struct BackupInfo {
    std::string path;         // the region file (24 sectors)
    std::string time;         // "YYYY-MM-DD HH:MM:SS", local time
    std::string description;  // device name, label, file system, time
};

// A key for the medium that stays the same when the card comes back under
// another name: file system, volume serial number and size.
std::string MediumKey(const platform::Volume& volume, const Region& region);

// Keeps region as a new backup (never overwriting one); *path gets its file.
bool KeepBackup(const std::string& workFolder, const platform::Volume& volume, const Region& region, std::string* path,
                std::string* why);
// The medium's backups, oldest first.
std::vector<BackupInfo> ListBackups(const std::string& workFolder, const platform::Volume& volume,
                                    const Region& region);
// Reads a backup file; false (with why) when it is not a whole region.
bool ReadBackup(const std::string& path, Region* region, std::string* why);

// Restore is a Save of a backup's region with no file work: the same checks,
// backup of what is there now, sealing, write and read-back. The request's
// base is the region on the card now; every byte the backup holds otherwise
// goes back as it was. False (with why) when the region cannot be read or the
// backup is of another volume.
bool MakeRestoreRequest(platform::CardAccess& cards, const std::string& name, const std::string& identity,
                        int layoutIndex, const Region& backup, const std::string& workFolder, SaveRequest* request,
                        std::string* why);
SaveResult Restore(platform::CardAccess& cards, const std::string& name, const std::string& identity, int layoutIndex,
                   const Region& backup, const std::string& workFolder, const SaveHooks& hooks = {});

}  // namespace cardops
