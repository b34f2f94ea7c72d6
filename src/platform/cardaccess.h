// CardAccess: the one way the rest of the program reaches a card.
//
// A card can be reached directly through its device node (root, or a member
// of the "disk" group), through the udisks2 daemon (an ordinary desktop user;
// polkit decides), or as an image file. Each of those is a backend of this
// interface; nothing above the platform layer knows which one it talks to.
// Unit tests put a fake behind it.
//
// Every operation names the card by its listed name and looks it up again, so
// nothing is ever read from or written to a disk the listing would not show.
// No operation throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/volumes.h"

namespace platform {

class CardDevice;

// What went wrong, for decisions; the words for the user are in AccessResult::why.
enum class AccessError {
    None,
    NotFound,     // the card is not (or no longer) there
    Refused,      // no permission: polkit said no, the password dialog was dismissed, no rights
    ReadOnly,     // the medium or the image is write-protected
    Io,           // the transfer failed or was short
    Unsupported,  // the backend cannot do this (for example mounting an image without udisks2)
};

struct AccessResult {
    AccessError error = AccessError::None;
    std::string why;  // plain words, empty on success
    bool ok() const { return error == AccessError::None; }
    static AccessResult Ok() { return {}; }
    static AccessResult Fail(AccessError e, std::string text) { return {e, std::move(text)}; }
};

// Result codes of a format, as the window acts on them.
enum FormatCode : int {
    FormatNotFormatable = -3,  // not a card that can be formatted (gone, an image, no such file system)
    FormatCancelled = -2,      // the user said no (a password dialog was closed)
    FormatError = -1,          // it was tried and failed, or the card changed
    FormatDone = 0,
};

// What a format came to: the code the window acts on, and what went wrong in
// the words and kinds of every other card operation.
struct FormatOutcome {
    FormatCode code = FormatError;
    AccessResult access;
    bool ok() const { return code == FormatDone; }
    static FormatOutcome Done() { return {FormatDone, AccessResult::Ok()}; }
    static FormatOutcome Fail(FormatCode code, AccessError error, std::string why)
    {
        return {code, AccessResult::Fail(error, std::move(why))};
    }
    static FormatOutcome Fail(FormatCode code, AccessResult why) { return {code, std::move(why)}; }
};

class CardAccess {
public:
    virtual ~CardAccess() = default;

    // Short name of the backend for messages and --help ("direct", "udisks2", "image").
    virtual std::string BackendName() const = 0;

    // The cards a user may choose, in name order, whatever file system they carry
    // (callers filter on fsName). A card the user may see but not open is listed.
    virtual std::vector<Volume> ListVolumes() = 0;

    // Fresh information about one listed card; false when it is not (or no
    // longer) one.
    virtual bool FindVolume(const std::string& name, Volume* out) = 0;

    // Whole logical sectors at first * sectorSize; exactly count sectors or a
    // failure. bufferSize must be at least count * sectorSize.
    virtual AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                     size_t bufferSize) = 0;
    // Buffered write (a kernel driver that has the card mounted sees it),
    // followed by fsync.
    virtual AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                                      size_t bufferSize) = 0;
    // Reads what the medium itself holds, past any cache (O_DIRECT on a
    // separate descriptor), to check what a write left.
    virtual AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                             size_t bufferSize) = 0;
    // Opens the card for writing and closes it again without writing: tells
    // before any change whether a write can work at all.
    virtual AccessResult CheckWritable(const std::string& name) = 0;
    // Opens the card for a long series of transfers (the card check; see
    // carddevice.h), past the system's caches where the device allows it. A
    // handle for writing is exclusive (O_EXCL): it is refused while the card
    // is mounted or another program holds it.
    virtual AccessResult OpenDevice(const std::string& name, bool write, std::unique_ptr<CardDevice>* device) = 0;

    // Mounts the card's file system when it is not mounted; *mountPoint gets
    // where its files are (also when it already was mounted).
    virtual AccessResult Mount(const std::string& name, std::string* mountPoint) = 0;
    // Unmounts every mount of the card's file system (nothing to do when none).
    virtual AccessResult Unmount(const std::string& name) = 0;

    // Writes a new file system ("FAT32" or "exFAT") with the label, after
    // unmounting it, and only while the card under that name is still the
    // medium `identity` names (Volume::identity, taken when the user chose
    // it): a card swapped in behind the name is refused, as is an empty
    // identity.
    virtual FormatOutcome Format(const std::string& name, const std::string& identity, const std::string& fsName,
                                 const std::string& label) = 0;
};

// The direct device backend (device nodes, libblkid, mount/umount, mkfs).
std::unique_ptr<CardAccess> MakeDirectAccess();

// Which backend the program uses. Auto: udisks2 when its service is on the
// system bus, otherwise direct access.
enum class BackendChoice { Auto, Direct, Udisks };
// Reads a choice as --backend and FLINTOR_BACKEND give it: "auto", "direct" or
// "udisks2" (also "udisks"), in any letter case. False for anything else.
bool ParseBackendChoice(const std::string& text, BackendChoice* out);
// Makes the backend for a choice; *why tells what was chosen and, for Auto,
// why (for --help and the log).
std::unique_ptr<CardAccess> MakeAccess(BackendChoice choice, std::string* why);

// The backend the whole program uses: made with MakeAccess(Auto) on first use
// unless SetCards gave one (start-up options, tests with a fake).
CardAccess& Cards();
void SetCards(std::unique_ptr<CardAccess> access);

// File-system work on a folder of a mounted card.
// Flushes everything written to the file system that holds path (syncfs).
bool SyncFileSystem(const std::string& path, std::string* why);
// Free bytes and allocation unit of the file system that holds path; false
// when they cannot be known.
bool FileSystemSpace(const std::string& path, uint64_t* freeBytes, uint64_t* blockSize);

}  // namespace platform
