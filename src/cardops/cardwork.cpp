#include "cardops/cardwork.h"

namespace cardops::detail {

BootWrite WriteBoot(platform::CardAccess& cards, const std::string& name, const std::string& identity, int layoutIndex,
                    const Region& from, const Region& to)
{
    BootWrite out;
    platform::Volume volume;
    if (!cards.FindVolume(name, &volume) || volume.identity != identity) {
        out.why = name + " is not there any more: the card was removed or replaced";
        return out;
    }
    if (!volume.mountPoint.empty() && volume.userSpaceMount) {
        const platform::AccessResult r = cards.Unmount(name);
        if (!r.ok()) {
            out.why = name +
                      " is mounted through a driver that would undo the write, and it could not be unmounted: " + r.why;
            return out;
        }
        out.unmounted = true;
    }
    Region current{};
    if (!ReadRegion(cards, name, &current, &out.why))
        return out;
    if (!SameVolume(current, from, layoutIndex)) {
        out.why = "The boot record of " + name + " changed since it was loaded; nothing was written to it";
        return out;
    }
    const Region target = WriteTarget(current, from, to, layoutIndex);
    out.touched = true;
    if (!WriteRegion(cards, name, layoutIndex, current, target, &out.why)) {
        out.why = name + ": " + out.why;
        return out;
    }
    out.ok = true;
    out.written = target;
    return out;
}

bool ReadRegion(platform::CardAccess& cards, const std::string& name, Region* region, std::string* why)
{
    const platform::AccessResult r = cards.ReadSectors(name, 0, core::kLoadSectors, region->data(), region->size());
    if (!r.ok() && why)
        *why = "The boot record of " + name + " cannot be read: " + r.why;
    return r.ok();
}

std::string FilesRoot(platform::CardAccess& cards, const std::string& name, std::string* why)
{
    std::string root;
    const platform::AccessResult r = cards.Mount(name, &root);
    if (!r.ok()) {
        if (why)
            *why = r.why;
        return std::string();
    }
    return root;
}

bool SyncFiles(const std::string& root, std::string* why)
{
    return platform::SyncFileSystem(root, why);
}

}  // namespace cardops::detail
