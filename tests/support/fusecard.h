// A card for the card check's device tests: a loop device over the one file
// of a file system in user space (tests/cardcheck/fusecard.py) that claims
// more than it keeps (wrapping or dropping) or limits its speed. The bytes it
// really keeps are a plain file (the store), so a test can tell whether a
// check left every byte as it was. Needs root, loop devices and FUSE
// (FLINTOR_REQUIRE_LOOP_AND_FUSE); everything is undone by the destructor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct FuseCardOptions {
    uint64_t claimBytes = 128ull << 20;
    uint64_t realBytes = 0;     // 0: the claimed size (a genuine card)
    std::string fake = "";      // "", "wrap" or "drop"
    double bytesPerSecond = 0;  // 0: as fast as it goes
};

class FuseCard {
public:
    FuseCard() = default;
    ~FuseCard();
    FuseCard(const FuseCard&) = delete;
    FuseCard& operator=(const FuseCard&) = delete;

    // Fills the store with random bytes, starts the file system, attaches
    // the loop device and writes a FAT32 file system on it.
    bool Start(const std::string& script, const FuseCardOptions& options);
    // SHA-256 of everything the card keeps.
    std::string StoreDigest() const;

    const std::string& name() const { return name_; }      // "loop7"
    const std::string& device() const { return device_; }  // "/dev/loop7"
    const std::string& folder() const { return folder_; }  // private; holds store and mount point
    const std::string& error() const { return error_; }

private:
    bool Fail(const std::string& what);

    std::string folder_, store_, mount_, device_, name_, error_;
    pid_t fuse_ = -1;
};

// Runs a program with extra environment ("KEY=VALUE"), stdout into *out and
// stderr into *err; returns the exit status (-1: could not run or killed).
int RunWithEnv(const std::vector<std::string>& env, const std::vector<std::string>& argv, std::string* out,
               std::string* err = nullptr);

}  // namespace testsupport
