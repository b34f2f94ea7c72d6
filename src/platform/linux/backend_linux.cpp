// Choosing how the program reaches cards: udisks2 when it is on the system
// bus (an ordinary desktop user), otherwise the device nodes directly.
#include <strings.h>

#include <cstdlib>

#include "platform/cardaccess.h"
#include "platform/linux/udisks_linux.h"

namespace platform {

namespace {

// Direct access as the program uses it: the same backend, with words for the
// user when the device's rights refuse a transfer (an ordinary user without
// udisks2 sees the cards but may not open them).
class DirectWithAdvice : public CardAccess {
public:
    explicit DirectWithAdvice(std::unique_ptr<CardAccess> inner) : inner_(std::move(inner)) {}
    std::string BackendName() const override { return inner_->BackendName(); }
    std::vector<Volume> ListVolumes() override { return inner_->ListVolumes(); }
    bool FindVolume(const std::string& name, Volume* out) override { return inner_->FindVolume(name, out); }
    AccessResult ReadSectors(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                             size_t bufferSize) override
    {
        return Advise(name, inner_->ReadSectors(name, first, count, buffer, bufferSize));
    }
    AccessResult WriteSectors(const std::string& name, uint64_t first, uint32_t count, const void* buffer,
                              size_t bufferSize) override
    {
        return Advise(name, inner_->WriteSectors(name, first, count, buffer, bufferSize));
    }
    AccessResult ReadSectorsUncached(const std::string& name, uint64_t first, uint32_t count, void* buffer,
                                     size_t bufferSize) override
    {
        return Advise(name, inner_->ReadSectorsUncached(name, first, count, buffer, bufferSize));
    }
    AccessResult CheckWritable(const std::string& name) override { return Advise(name, inner_->CheckWritable(name)); }
    AccessResult OpenDevice(const std::string& name, bool write, std::unique_ptr<CardDevice>* device) override
    {
        return Advise(name, inner_->OpenDevice(name, write, device));
    }
    AccessResult Mount(const std::string& name, std::string* mountPoint) override
    {
        return inner_->Mount(name, mountPoint);
    }
    AccessResult Unmount(const std::string& name) override { return inner_->Unmount(name); }
    FormatOutcome Format(const std::string& name, const std::string& identity, const std::string& fsName,
                         const std::string& label) override
    {
        return inner_->Format(name, identity, fsName, label);
    }

private:
    static AccessResult Advise(const std::string& name, AccessResult r)
    {
        if (r.error != AccessError::Refused)
            return r;
        r.why = "You are not allowed to open " + name + ": you have no rights on /dev/" + name +
                ". Install udisks2 to reach cards as a desktop user, or ask an administrator to add you to the "
                "disk group.";
        return r;
    }
    std::unique_ptr<CardAccess> inner_;
};

std::unique_ptr<CardAccess> MakeDirect()
{
    return std::make_unique<DirectWithAdvice>(MakeDirectAccess());
}

}  // namespace

bool ParseBackendChoice(const std::string& text, BackendChoice* out)
{
    BackendChoice choice;
    if (strcasecmp(text.c_str(), "auto") == 0)
        choice = BackendChoice::Auto;
    else if (strcasecmp(text.c_str(), "direct") == 0)
        choice = BackendChoice::Direct;
    else if (strcasecmp(text.c_str(), "udisks2") == 0 || strcasecmp(text.c_str(), "udisks") == 0)
        choice = BackendChoice::Udisks;
    else
        return false;
    if (out)
        *out = choice;
    return true;
}

std::unique_ptr<CardAccess> MakeAccess(BackendChoice choice, std::string* why)
{
    std::string note;
    if (choice == BackendChoice::Auto) {
        // FLINTOR_BACKEND gives the default when no choice was made.
        const char* env = std::getenv("FLINTOR_BACKEND");
        if (env != nullptr && *env != '\0' && !ParseBackendChoice(env, &choice))
            note = " (FLINTOR_BACKEND=" + std::string(env) + " is not direct, udisks2 or auto; ignored)";
    }
    switch (choice) {
    case BackendChoice::Direct:
        if (why)
            *why = "direct device access" + note;
        return MakeDirect();
    case BackendChoice::Udisks:
        if (why)
            *why = "udisks2" + note;
        return MakeUdisksAccess();
    case BackendChoice::Auto:
        break;
    }
    std::string reason;
    if (UdisksServiceAvailable(&reason)) {
        if (why)
            *why = "udisks2, since " + reason + note;
        return MakeUdisksAccess();
    }
    if (why)
        *why = "direct device access, since " + reason + note;
    return MakeDirect();
}

}  // namespace platform
