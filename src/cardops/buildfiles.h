// Putting a build's files onto a mounted card and taking them off again.
// Used by the Save sequence; nothing here touches the boot record.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cardops {

struct InstallOutcome {
    bool ok = false;
    std::string error;                     // plain words when !ok
    std::vector<std::string> written;      // files this install wrote (full paths), in order
    std::vector<std::string> madeFolders;  // folders this install made, outside in
};

// Unpacks every entry of the build archive below root (names matched without
// regard to letter case, so an entry replaces the file it names whatever its
// spelling). "*.fir" entries are left out when skipFirmware is set. Each
// file's path is handed to `noteWritten` before its first byte is written,
// so a journal can name it even if the program stops half-way. Stops at the
// first failure; the caller removes what was written.
InstallOutcome InstallBuild(const std::string& archive, const std::string& root, bool skipFirmware,
                            const std::function<void(int percent, const std::string& entry)>& progress,
                            const std::function<void(const std::string& path)>& noteWritten);

// Removes the files an unfinished install wrote and the folders it made (when
// they are empty). True when nothing of it is left.
bool RollBack(const std::vector<std::string>& written, const std::vector<std::string>& madeFolders);

// Removes the build's files from the card's root: "*.fir", "autoexec.bin",
// "*.pdf" and the ML folder. True when none of them is left.
bool RemoveBuild(const std::string& root);

// The space the build takes on a file system with the given allocation unit:
// every file rounded up to whole units, one unit per folder.
uint64_t SpaceNeeded(uint64_t totalBytes, size_t fileCount, size_t folderCount, uint64_t unit);

}  // namespace cardops
