// A card that lives in memory, behind the same interface as a real one, for
// tests of the Save sequence: an image held in a byte vector, a folder that
// stands for its files, and switches for the faults a real card shows.
#pragma once

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/cardaccess.h"
#include "platform/carddevice.h"

namespace testsupport {

class FakeCards : public platform::CardAccess {
public:
    platform::Volume volume;     // what listing and lookups report
    std::vector<uint8_t> image;  // the medium's bytes (at least the boot region)
    bool present = true;
    bool writable = true;     // CheckWritable and writes succeed
    bool dropWrites = false;  // writes are acknowledged and not kept
    bool canMount = true;
    std::function<void()> onWrite;  // runs before every sector write
    std::string mountRoot;          // where Mount says the files are
    // "read 0+24", "write 12+12", "uncached 0+12", "mount", "unmount", "checkwritable", "format exFAT LABEL"
    std::vector<std::string> calls;

    std::string BackendName() const override { return "fake"; }
    std::vector<platform::Volume> ListVolumes() override
    {
        return present ? std::vector<platform::Volume>{volume} : std::vector<platform::Volume>{};
    }
    bool FindVolume(const std::string& name, platform::Volume* out) override
    {
        if (!present || name != volume.name)
            return false;
        if (out)
            *out = volume;
        return true;
    }
    platform::AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                       size_t size) override
    {
        calls.push_back("read " + Range(first, count));
        return Read(name, first, count, buffer, size);
    }
    platform::AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                               size_t size) override
    {
        calls.push_back("uncached " + Range(first, count));
        return Read(name, first, count, buffer, size);
    }
    platform::AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                                        size_t size) override
    {
        calls.push_back("write " + Range(first, count));
        if (onWrite)
            onWrite();
        if (!present || name != volume.name)
            return platform::AccessResult::Fail(platform::AccessError::NotFound, "gone");
        if (!writable)
            return platform::AccessResult::Fail(platform::AccessError::ReadOnly, "write-protected");
        const size_t at = first * 512, len = count * 512ull;
        if (len > size || at + len > image.size())
            return platform::AccessResult::Fail(platform::AccessError::Io, "out of range");
        if (!dropWrites)
            std::memcpy(image.data() + at, buffer, len);
        return platform::AccessResult::Ok();
    }
    platform::AccessResult CheckWritable(const std::string& name) override
    {
        calls.push_back("checkwritable");
        if (!present || name != volume.name)
            return platform::AccessResult::Fail(platform::AccessError::NotFound, "gone");
        return writable ? platform::AccessResult::Ok()
                        : platform::AccessResult::Fail(platform::AccessError::Refused, "not allowed");
    }
    platform::AccessResult OpenDevice(const std::string& name, bool write,
                                      std::unique_ptr<platform::CardDevice>* device) override
    {
        calls.push_back(write ? "open rw" : "open r");
        if (!present || name != volume.name)
            return platform::AccessResult::Fail(platform::AccessError::NotFound, "gone");
        if (write && !writable)
            return platform::AccessResult::Fail(platform::AccessError::ReadOnly, "write-protected");
        *device = std::make_unique<Device>(this);
        return platform::AccessResult::Ok();
    }
    platform::AccessResult Mount(const std::string&, std::string* root) override
    {
        calls.push_back("mount");
        if (!canMount)
            return platform::AccessResult::Fail(platform::AccessError::Unsupported, "cannot mount");
        volume.mountPoint = mountRoot;
        if (root)
            *root = mountRoot;
        return platform::AccessResult::Ok();
    }
    platform::AccessResult Unmount(const std::string&) override
    {
        calls.push_back("unmount");
        volume.mountPoint.clear();
        return platform::AccessResult::Ok();
    }
    // Formats only the medium the identity names, as every backend does.
    platform::FormatOutcome Format(const std::string& name, const std::string& identity, const std::string& fsName,
                                   const std::string& label) override
    {
        if (!present || name != volume.name)
            return platform::FormatOutcome::Fail(platform::FormatNotFormatable, platform::AccessError::NotFound,
                                                 "gone");
        if (identity.empty() || identity != volume.identity)
            return platform::FormatOutcome::Fail(platform::FormatError, platform::AccessError::NotFound, "replaced");
        calls.push_back("format " + fsName + " " + label);
        volume.fsName = fsName;
        volume.label = label;
        return platform::FormatOutcome::Done();
    }

    // Index of the first call that starts with prefix, or -1.
    int CallIndex(const std::string& prefix) const
    {
        for (size_t i = 0; i < calls.size(); ++i)
            if (calls[i].rfind(prefix, 0) == 0)
                return static_cast<int>(i);
        return -1;
    }

private:
    // The image as an open device; transfers behave as ReadSectors and
    // WriteSectors do (dropWrites included).
    class Device : public platform::CardDevice {
    public:
        explicit Device(FakeCards* owner) : owner_(owner) {}
        uint64_t SizeBytes() const override { return owner_->image.size(); }
        uint32_t SectorSize() const override { return 512; }
        bool Uncached() const override { return true; }
        platform::AccessResult Read(uint64_t offset, void* buffer, size_t length) override
        {
            return owner_->Read(owner_->volume.name, offset / 512, static_cast<uint32_t>(length / 512), buffer, length);
        }
        platform::AccessResult Write(uint64_t offset, const void* buffer, size_t length) override
        {
            return owner_->WriteSectors(owner_->volume.name, offset / 512, static_cast<uint32_t>(length / 512), buffer,
                                        length);
        }
        platform::AccessResult Flush() override { return platform::AccessResult::Ok(); }

    private:
        FakeCards* owner_;
    };

    static std::string Range(uint64_t first, uint32_t count)
    {
        return std::to_string(first) + "+" + std::to_string(count);
    }
    platform::AccessResult Read(const std::string& name, uint64_t first, uint32_t count, void* buffer, size_t size)
    {
        if (!present || name != volume.name)
            return platform::AccessResult::Fail(platform::AccessError::NotFound, "gone");
        const size_t at = first * 512, len = count * 512ull;
        if (len > size || at + len > image.size())
            return platform::AccessResult::Fail(platform::AccessError::Io, "out of range");
        std::memcpy(buffer, image.data() + at, len);
        return platform::AccessResult::Ok();
    }
};

}  // namespace testsupport
