// The restore journal of a check that writes to a card: before a byte of the
// card is overwritten, what it held is appended here and flushed to the
// computer's disk. Putting the records back in reverse order leaves the card
// as it was, even when the card stores two addresses in one place (the
// earliest record of that place is written last). Putting them back is
// repeatable: a restore that was itself stopped can run again.
//
// One journal per card (by the medium's identity) in the work folder's
// "cardcheck" folder. Text header, then records: "REC1", offset (8 bytes),
// length (4), CRC-32 of the data (4), data. A record torn by a crash fails
// its CRC and ends the list; the writes it would have covered never began.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace cardcheck {

struct JournalHeader {
    uint64_t run = 0;      // the run's random number (its probe data carries it)
    std::string mode;      // "quick", "speed"
    std::string name;      // the card's name when the check began ("sdb1")
    std::string device;    // its device or image file
    std::string identity;  // Volume::identity when the check began
    std::string card;      // the card as the list shows it, for messages
    std::string created;   // local time, "YYYY-MM-DD HH:MM:SS"
    std::string testFile;  // the speed test's file on the card, "" for none
    uint64_t sizeBytes = 0;
};

struct JournalRecord {
    uint64_t offset = 0;  // byte address on the card
    uint32_t length = 0;
    uint32_t crc = 0;
    uint64_t at = 0;  // where the data starts in the journal file
};

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;

    // Makes a new journal at path; fails when one is there already.
    bool Create(const std::string& path, const JournalHeader& header, std::string* why);
    bool Append(uint64_t offset, const uint8_t* data, uint32_t length, std::string* why);
    // Everything appended reaches the disk; the first time, the folder's
    // entry of the file too.
    bool Sync(std::string* why);
    // Closes and deletes the journal (the card is as it was).
    bool Remove(std::string* why);
    bool open() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    bool folderSynced_ = false;
};

// Reads a journal's header and its whole records. False (with why) when the
// file is not a journal.
bool ReadJournal(const std::string& path, JournalHeader* header, std::vector<JournalRecord>* records, std::string* why);
// The data of one record; false when it cannot be read or fails its CRC.
bool ReadRecordData(const std::string& path, const JournalRecord& record, std::vector<uint8_t>* data);

// Deletes a journal file and flushes its folder.
bool RemoveJournalFile(const std::string& path, std::string* why);

// The folder of the journals ("<work folder>cardcheck/"), and the journal of a
// card with this identity.
std::string JournalFolder(const std::string& workFolder);
std::string JournalPath(const std::string& workFolder, const std::string& identity);
// The journals left in the work folder (an interrupted check), by name.
std::vector<std::string> ListJournals(const std::string& workFolder);

// Local time as "YYYY-MM-DD HH:MM:SS".
std::string NowText();

}  // namespace cardcheck
