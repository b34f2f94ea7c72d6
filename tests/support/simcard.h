// A simulated memory card for the card check's tests and benchmark: a
// claimed and a real size, the faults counterfeit and worn cards show (writes
// past the real size land on lower addresses or vanish, a small cache that
// answers reads of the last blocks written, unreadable ranges), and transfer
// times with a burst buffer, all on a virtual clock, so that a 64 GB card is
// probed in milliseconds. Only the places written are kept in memory.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "cardcheck/cardcheck.h"
#include "cardcheck/clock.h"
#include "platform/cardaccess.h"
#include "platform/carddevice.h"

namespace testsupport {

class VirtualClock : public cardcheck::Clock {
public:
    double Now() override { return now_; }
    void Advance(double seconds) { now_ += seconds; }

private:
    double now_ = 0;
};

enum class Fake {
    None,  // genuine
    Wrap,  // address a is stored at a mod realBytes
    Drop,  // writes at or past realBytes vanish
};

struct SimCardSpec {
    uint64_t claimedBytes = 64ull << 20;
    uint64_t realBytes = 0;  // 0: the claimed size
    Fake fake = Fake::None;
    uint32_t cacheUnits = 0;  // the last N 512-byte units written are read back from a cache
    uint64_t errorFrom = 0;   // reads of [errorFrom, errorTo) fail
    uint64_t errorTo = 0;
    double writeBytesPerSecond = 20e6;
    double readBytesPerSecond = 40e6;
    uint64_t burstBytes = 0;  // the first bytes written go at burst speed
    double burstBytesPerSecond = 90e6;
    double writeLatency = 0.0005;  // seconds per transfer
    double readLatency = 0.0002;
    uint64_t seed = 1;              // the card's content at the start
    uint64_t flakyAt = UINT64_MAX;  // the first read of this unit after a write returns zeros
    uint32_t sectorSize = 512;      // transfers must be whole sectors
};

class SimCard : public platform::CardDevice {
public:
    SimCard(const SimCardSpec& shape, VirtualClock* clock);

    uint64_t SizeBytes() const override { return spec_.claimedBytes; }
    uint32_t SectorSize() const override { return spec_.sectorSize; }
    bool Uncached() const override { return true; }
    platform::AccessResult Read(uint64_t offset, void* buffer, size_t length) override;
    platform::AccessResult Write(uint64_t offset, const void* buffer, size_t length) override;
    platform::AccessResult Flush() override;

    // True when every place still holds what it held at the start; *where
    // gets the first place that does not.
    bool Unchanged(uint64_t* where = nullptr) const;
    // The unit the card held at this physical address at the start.
    void Initial(uint64_t address, uint8_t* unit) const;

    bool present = true;                          // false: pulled, every transfer fails
    uint64_t pullAfterBytesWritten = UINT64_MAX;  // pulled once this much was written
    uint64_t bytesWritten = 0;
    const SimCardSpec& shape() const { return spec_; }

private:
    uint64_t Physical(uint64_t address) const;
    uint8_t* Place(uint64_t physical, bool create);

    SimCardSpec spec_;
    VirtualClock* clock_;
    std::unordered_map<uint64_t, std::vector<uint8_t>> chunks_;  // physical 64 KiB chunks written to
    bool flakyArmed_ = false;
    bool flaked_ = false;
    std::list<uint64_t> cacheOrder_;
    std::unordered_map<uint64_t, std::array<uint8_t, 512>> cache_;
};

// One simulated card as the only listed card, "sim0".
class SimCards : public platform::CardAccess {
public:
    explicit SimCards(SimCard* card);

    platform::Volume volume;
    std::vector<std::string> calls;  // "unmount", "mount", "open r", "open rw"
    // After this many lookups, the card's identity changes (another card in
    // the same reader); -1: never.
    int swapAfterLookups = -1;

    std::string BackendName() const override { return "sim"; }
    std::vector<platform::Volume> ListVolumes() override;
    bool FindVolume(const std::string& name, platform::Volume* out) override;
    platform::AccessResult ReadSectors(const std::string&, uint64_t, uint32_t, void*, size_t) override;
    platform::AccessResult WriteSectors(const std::string&, uint64_t, uint32_t, const void*, size_t) override;
    platform::AccessResult ReadSectorsUncached(const std::string&, uint64_t, uint32_t, void*, size_t) override;
    platform::AccessResult CheckWritable(const std::string&) override;
    platform::AccessResult OpenDevice(const std::string& name, bool write,
                                      std::unique_ptr<platform::CardDevice>* device) override;
    platform::AccessResult Mount(const std::string& name, std::string* mountPoint) override;
    platform::AccessResult Unmount(const std::string& name) override;
    platform::FormatOutcome Format(const std::string&, const std::string&, const std::string&,
                                   const std::string&) override;

private:
    SimCard* card_;
    int lookups_ = 0;
};

// What a check of a simulated card needs: the card on a virtual clock, its
// listing, and a private work folder for journals (removed at the end).
struct SimBench {
    explicit SimBench(const SimCardSpec& shape);
    ~SimBench();
    SimBench(const SimBench&) = delete;
    SimBench& operator=(const SimBench&) = delete;

    // A request for the card on the virtual clock, with a fixed run number.
    cardcheck::CheckRequest Request(cardcheck::Mode mode) const;
    cardcheck::CheckResult Run(cardcheck::Mode mode, const cardcheck::Hooks& hooks = {});
    // The journals left in the work folder.
    std::vector<std::string> Journals() const;

    VirtualClock clock;
    SimCard card;
    SimCards cards;
    std::string workFolder;  // ends in "/"
};

}  // namespace testsupport
