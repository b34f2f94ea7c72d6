// A memory card for tests: an image file with a FAT or exFAT file system,
// attached as a loop device and, on request, mounted with a file system in
// user space. Everything it sets up is undone by its destructor.
//
// Use:
//   FLINTOR_REQUIRE_LOOP_AND_FUSE();           // skip (or fail in CI) without root, loop and FUSE
//   testsupport::LoopCard card;
//   ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "EOS_DIGITAL"})) << card.error();
//   ASSERT_TRUE(card.Mount()) << card.error();
//   platform::SetIncludeLoop(true);             // the listing shows card.name()
//
// Link: target_link_libraries(your_tests PRIVATE flintor_testsupport)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/cardaccess.h"

namespace testsupport {

struct LoopCardOptions {
    // "FAT12", "FAT16", "FAT32", "exFAT", or "" for a card without file system.
    std::string fsType = "FAT32";
    // Volume label; empty for none.
    std::string label = "TESTCARD";
    // Size of the image (sparse). FAT32 needs at least 33 MiB.
    uint64_t sizeBytes = 64ull << 20;
    // Writes an MBR with one partition from 1 MiB on and attaches with
    // partition scanning, so the volume is loopNp1 instead of the whole loopN.
    bool partitioned = false;
    // Attaches to this loop device ("/dev/loop5") instead of the first free
    // one: a card put in behind the name another card had.
    std::string loopDevice = std::string();
};

class LoopCard {
public:
    LoopCard() = default;
    ~LoopCard();
    LoopCard(const LoopCard&) = delete;
    LoopCard& operator=(const LoopCard&) = delete;

    // Makes the image, formats it and attaches it. False (with error()) when
    // any step fails; whatever was set up is undone by the destructor.
    bool Create(const LoopCardOptions& options = {});
    // Mounts the volume: exFAT with mount.exfat-fuse, FAT with fusefat (rw+).
    // exfat-fuse writes its copy of the boot sector back when it unmounts:
    // check raw bytes before Unmount().
    bool Mount();
    // Unmounts and waits until the file system process has let go of the device.
    bool Unmount();
    // Unmounts when needed and detaches the loop device (the card is "removed").
    bool Detach();

    bool attached() const { return !diskDevice_.empty(); }
    bool mounted() const { return !mountPoint_.empty(); }
    const std::string& error() const { return error_; }
    const LoopCardOptions& options() const { return options_; }

    // Device node of the volume ("/dev/loop3" or "/dev/loop3p1").
    const std::string& device() const { return device_; }
    // Device node of the whole loop device ("/dev/loop3").
    const std::string& diskDevice() const { return diskDevice_; }
    // Kernel name of the volume ("loop3", "loop3p1"), as the listing shows it.
    const std::string& name() const { return name_; }
    // Where the volume is mounted; empty when it is not.
    const std::string& mountPoint() const { return mountPoint_; }
    const std::string& imagePath() const { return imagePath_; }
    // The private temporary folder that holds image and mount point.
    const std::string& folder() const { return folder_; }
    // Byte offset of the volume in the image and its size.
    uint64_t volumeOffset() const { return volumeOffset_; }
    uint64_t volumeSize() const { return volumeSize_; }

    // Bytes of the volume read from its device node (empty on failure).
    std::vector<uint8_t> ReadDevice(uint64_t offset, size_t length) const;
    // Bytes of the volume read from the image file (offset counts from the volume's start).
    std::vector<uint8_t> ReadImage(uint64_t offset, size_t length) const;
    // Writes bytes to the volume through its device node and syncs.
    bool WriteDevice(uint64_t offset, const std::vector<uint8_t>& bytes);

private:
    bool Fail(const std::string& what);
    void Cleanup();

    LoopCardOptions options_;
    std::string error_;
    std::string folder_;
    std::string imagePath_;
    std::string diskDevice_;
    std::string device_;
    std::string name_;
    std::string mountDir_;
    std::string mountPoint_;
    uint64_t volumeOffset_ = 0;
    uint64_t volumeSize_ = 0;
};

// Lists loop devices as cards while it lives (what --include-loop does), and
// stops listing them when it goes.
class IncludeLoopScope {
public:
    explicit IncludeLoopScope(bool on = true) { platform::SetIncludeLoop(on); }
    ~IncludeLoopScope() { platform::SetIncludeLoop(false); }
    IncludeLoopScope(const IncludeLoopScope&) = delete;
    IncludeLoopScope& operator=(const IncludeLoopScope&) = delete;
};

// The direct device backend, made on first use and kept for the test program.
platform::CardAccess& DirectCards();

// Empty when this machine can run loop and FUSE tests (root, /dev/loop-control,
// losetup, /dev/fuse, mkfs, fsck and the FUSE file systems); else the reason.
std::string RequireLoopAndFuse();

// True when running in continuous integration (CI=true), where tests that
// need loop devices must fail rather than skip.
bool InCI();

// Runs a program (looked up in the system folders unless argv[0] is a path)
// without a shell; stdout and stderr land in *output. Returns the exit status,
// -1 when it could not run.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

// What fsck (-n) finds wrong with a FAT or exFAT volume; "" when nothing.
// fsck.fat's remarks on the volume label are left out: the Magic Lantern
// marker takes the boot sector's label place, so it never matches the label
// in the root folder.
std::string FsckProblems(const std::string& fsType, const std::string& device);

// Processes that hold a block device open (by node path), this one excluded.
std::vector<int> DeviceHolders(const std::string& device);

}  // namespace testsupport

// Skips the test with the reason, or fails it in CI, when loop devices and
// FUSE cannot be used here.
#define FLINTOR_REQUIRE_LOOP_AND_FUSE()                                                                                \
    do {                                                                                                               \
        const std::string flintorReason_ = ::testsupport::RequireLoopAndFuse();                                        \
        if (!flintorReason_.empty()) {                                                                                 \
            if (::testsupport::InCI()) {                                                                               \
                FAIL() << "CI needs loop devices and FUSE: " << flintorReason_;                                        \
            } else {                                                                                                   \
                GTEST_SKIP() << flintorReason_;                                                                        \
            }                                                                                                          \
        }                                                                                                              \
    } while (0)
