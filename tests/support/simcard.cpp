#include "simcard.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "cardcheck/journal.h"

namespace testsupport {

namespace {

constexpr uint64_t kUnit = 512;
constexpr uint64_t kChunk = 64 * 1024;

platform::AccessResult Gone()
{
    return platform::AccessResult::Fail(platform::AccessError::NotFound, "the simulated card was pulled");
}

// A device that forwards to a card the test owns.
class Borrowed : public platform::CardDevice {
public:
    explicit Borrowed(SimCard* card) : card_(card) {}
    uint64_t SizeBytes() const override { return card_->SizeBytes(); }
    uint32_t SectorSize() const override { return card_->SectorSize(); }
    bool Uncached() const override { return card_->Uncached(); }
    platform::AccessResult Read(uint64_t o, void* b, size_t n) override { return card_->Read(o, b, n); }
    platform::AccessResult Write(uint64_t o, const void* b, size_t n) override { return card_->Write(o, b, n); }
    platform::AccessResult Flush() override { return card_->Flush(); }

private:
    SimCard* card_;
};

}  // namespace

SimCard::SimCard(const SimCardSpec& shape, VirtualClock* clock) : spec_(shape), clock_(clock)
{
    if (spec_.realBytes == 0 || spec_.fake == Fake::None)
        spec_.realBytes = spec_.claimedBytes;
}

void SimCard::Initial(uint64_t address, uint8_t* unit) const
{
    uint64_t state = spec_.seed * 0x9E3779B97F4A7C15ull ^ (address / kUnit);
    for (uint64_t i = 0; i < kUnit; i += 8) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const uint64_t v = state ^ (state >> 29);
        std::memcpy(unit + i, &v, 8);
    }
}

uint64_t SimCard::Physical(uint64_t address) const
{
    return spec_.fake == Fake::Wrap ? address % spec_.realBytes : address;
}

uint8_t* SimCard::Place(uint64_t physical, bool create)
{
    const uint64_t chunk = physical / kChunk;
    auto it = chunks_.find(chunk);
    if (it == chunks_.end()) {
        if (!create)
            return nullptr;
        std::vector<uint8_t> bytes(kChunk);
        for (uint64_t u = 0; u < kChunk; u += kUnit)
            Initial(chunk * kChunk + u, bytes.data() + u);
        it = chunks_.emplace(chunk, std::move(bytes)).first;
    }
    return it->second.data() + physical % kChunk;
}

platform::AccessResult SimCard::Read(uint64_t offset, void* buffer, size_t length)
{
    if (!present)
        return Gone();
    clock_->Advance(spec_.readLatency + static_cast<double>(length) / spec_.readBytesPerSecond);
    if (offset % spec_.sectorSize || length % spec_.sectorSize || offset + length > spec_.claimedBytes)
        return platform::AccessResult::Fail(platform::AccessError::Io, "out of range");
    if (offset < spec_.errorTo && offset + length > spec_.errorFrom)
        return platform::AccessResult::Fail(platform::AccessError::Io, "unreadable");
    auto* out = static_cast<uint8_t*>(buffer);
    for (uint64_t u = 0; u < length; u += kUnit) {
        const uint64_t address = offset + u;
        if (address == spec_.flakyAt && flakyArmed_) {
            flakyArmed_ = false;
            flaked_ = true;
            std::memset(out + u, 0, kUnit);
            continue;
        }
        const auto cached = cache_.find(address);
        if (cached != cache_.end()) {
            std::memcpy(out + u, cached->second.data(), kUnit);
            continue;
        }
        // A write that vanished leaves what was there.
        const bool lost = spec_.fake == Fake::Drop && address >= spec_.realBytes;
        const uint64_t physical = lost ? address : Physical(address);
        const uint8_t* kept = lost ? nullptr : Place(physical, false);
        if (kept)
            std::memcpy(out + u, kept, kUnit);
        else
            Initial(physical, out + u);
    }
    return platform::AccessResult::Ok();
}

platform::AccessResult SimCard::Write(uint64_t offset, const void* buffer, size_t length)
{
    if (!present)
        return Gone();
    if (offset % spec_.sectorSize || length % spec_.sectorSize || offset + length > spec_.claimedBytes)
        return platform::AccessResult::Fail(platform::AccessError::Io, "out of range");
    const uint64_t burst =
        bytesWritten < spec_.burstBytes ? std::min<uint64_t>(length, spec_.burstBytes - bytesWritten) : 0;
    clock_->Advance(spec_.writeLatency + static_cast<double>(burst) / spec_.burstBytesPerSecond +
                    static_cast<double>(length - burst) / spec_.writeBytesPerSecond);
    const auto* in = static_cast<const uint8_t*>(buffer);
    for (uint64_t u = 0; u < length; u += kUnit) {
        const uint64_t address = offset + u;
        if (bytesWritten + u >= pullAfterBytesWritten) {
            present = false;
            return Gone();
        }
        if (spec_.cacheUnits > 0) {
            if (cache_.find(address) == cache_.end()) {
                cacheOrder_.push_back(address);
                if (cacheOrder_.size() > spec_.cacheUnits) {
                    cache_.erase(cacheOrder_.front());
                    cacheOrder_.pop_front();
                }
            }
            std::memcpy(cache_[address].data(), in + u, kUnit);
        }
        flakyArmed_ = flakyArmed_ || (address == spec_.flakyAt && !flaked_);
        if (spec_.fake == Fake::Drop && address >= spec_.realBytes)
            continue;
        std::memcpy(Place(Physical(address), true), in + u, kUnit);
    }
    bytesWritten += length;
    return platform::AccessResult::Ok();
}

platform::AccessResult SimCard::Flush()
{
    return present ? platform::AccessResult::Ok() : Gone();
}

bool SimCard::Unchanged(uint64_t* where) const
{
    uint8_t unit[kUnit];
    std::vector<uint64_t> order;
    for (const auto& [chunk, bytes] : chunks_)
        order.push_back(chunk);
    std::sort(order.begin(), order.end());
    for (uint64_t chunk : order) {
        const std::vector<uint8_t>& bytes = chunks_.at(chunk);
        for (uint64_t u = 0; u < kChunk; u += kUnit) {
            Initial(chunk * kChunk + u, unit);
            if (std::memcmp(unit, bytes.data() + u, kUnit) != 0) {
                if (where)
                    *where = chunk * kChunk + u;
                return false;
            }
        }
    }
    return true;
}

SimCards::SimCards(SimCard* card) : card_(card)
{
    volume.name = "sim0";
    volume.device = "/sim/sim0";
    volume.label = "EOS_DIGITAL";
    volume.fsName = "exFAT";
    volume.sizeBytes = card->SizeBytes();
    volume.sectorSize = card->SectorSize();
    volume.identity = "sim:1";
}

std::vector<platform::Volume> SimCards::ListVolumes()
{
    platform::Volume v;
    return FindVolume(volume.name, &v) ? std::vector<platform::Volume>{v} : std::vector<platform::Volume>{};
}

bool SimCards::FindVolume(const std::string& name, platform::Volume* out)
{
    if (!card_->present || name != volume.name)
        return false;
    if (swapAfterLookups >= 0 && ++lookups_ > swapAfterLookups)
        volume.identity = "sim:another card";
    if (out)
        *out = volume;
    return true;
}

platform::AccessResult SimCards::ReadSectors(const std::string&, uint64_t first, uint32_t count, void* buffer, size_t)
{
    return card_->Read(first * 512, buffer, count * 512ull);
}

platform::AccessResult SimCards::WriteSectors(const std::string&, uint64_t first, uint32_t count, const void* buffer,
                                              size_t)
{
    return card_->Write(first * 512, buffer, count * 512ull);
}

platform::AccessResult SimCards::ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count,
                                                     void* buffer, size_t size)
{
    return ReadSectors(name, first, count, buffer, size);
}

platform::AccessResult SimCards::CheckWritable(const std::string&)
{
    return card_->present ? platform::AccessResult::Ok() : Gone();
}

platform::AccessResult SimCards::OpenDevice(const std::string& name, bool write,
                                            std::unique_ptr<platform::CardDevice>* device)
{
    calls.push_back(write ? "open rw" : "open r");
    if (!card_->present || name != volume.name)
        return Gone();
    if (write && !volume.mountPoint.empty())
        return platform::AccessResult::Fail(platform::AccessError::Io, "sim0 is in use: mounted");
    *device = std::make_unique<Borrowed>(card_);
    return platform::AccessResult::Ok();
}

platform::AccessResult SimCards::Mount(const std::string&, std::string* mountPoint)
{
    calls.push_back("mount");
    if (volume.mountPoint.empty())
        return platform::AccessResult::Fail(platform::AccessError::Unsupported, "the simulated card has no files");
    if (mountPoint)
        *mountPoint = volume.mountPoint;
    return platform::AccessResult::Ok();
}

platform::AccessResult SimCards::Unmount(const std::string&)
{
    calls.push_back("unmount");
    volume.mountPoint.clear();
    return platform::AccessResult::Ok();
}

platform::FormatOutcome SimCards::Format(const std::string&, const std::string&, const std::string&, const std::string&)
{
    return platform::FormatOutcome::Fail(platform::FormatNotFormatable, platform::AccessError::Unsupported,
                                         "a simulated card is not formatted");
}

SimBench::SimBench(const SimCardSpec& shape) : card(shape, &clock), cards(&card)
{
    std::string templ = (std::filesystem::temp_directory_path() / "flintor-simcard.XXXXXX").string();
    if (::mkdtemp(templ.data()) != nullptr)
        workFolder = templ + "/";
}

SimBench::~SimBench()
{
    std::error_code ec;
    if (!workFolder.empty())
        std::filesystem::remove_all(workFolder, ec);
}

cardcheck::CheckRequest SimBench::Request(cardcheck::Mode mode) const
{
    cardcheck::CheckRequest request;
    request.name = "sim0";
    request.mode = mode;
    request.workFolder = workFolder;
    request.options.clock = const_cast<VirtualClock*>(&clock);
    request.options.run = 0x5eed5eed5eedull;
    return request;
}

cardcheck::CheckResult SimBench::Run(cardcheck::Mode mode, const cardcheck::Hooks& hooks)
{
    return cardcheck::RunCheck(cards, Request(mode), hooks);
}

std::vector<std::string> SimBench::Journals() const
{
    return cardcheck::ListJournals(workFolder);
}

}  // namespace testsupport
