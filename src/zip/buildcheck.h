// Whether a downloaded build archive can be unpacked onto a card as a whole,
// checked before anything is written to the card.
#pragma once

#include "zip/zipread.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Whether an archive can be installed onto a card as a whole.
struct BuildCheckResult {
    bool ok = false;
    std::string entry;        // the entry at fault ("" when the fault is the archive itself)
    std::string reason;       // plain words ("" when ok)
    uint64_t totalBytes = 0;  // sum of the uncompressed sizes of the file entries
    size_t fileCount = 0;     // file entries (not folders)
    size_t folderCount = 0;   // distinct folders the entries need (explicit folder entries and parents of files)
};

// Every entry must unpack whole: stored or deflate method, not encrypted, a safe name (SafeEntryPath) that FAT and
// exFAT can hold (FatNameProblem), data that inflates to its declared size and CRC-32 (all data is read and
// inflated, output is discarded); the archive must hold "autoexec.bin" (any letter case) at its root. progress (may
// be empty) gets 0..100. Two entries that would land on the same card path (names that differ only in letter case,
// compared as FatFolded does) are refused as well. `entry` holds the name as the archive has it: pass it through
// core::Printable before it goes into a message.
BuildCheckResult CheckBuildArchive(TZipRead& zip, const std::function<void(int percent)>& progress = {});

// Opens path first; a file that is missing or not a zip gives ok=false, entry "", and reason naming the problem
// in plain words (e.g. "it is not a zip archive (ZIP format)"). Never throws.
BuildCheckResult CheckBuildArchiveFile(const std::string& path, const std::function<void(int percent)>& progress = {});
