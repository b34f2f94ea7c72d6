#include "cardops/removefiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/fileutil.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

// A folder that is the root of a mount (also a bind mount of the same file
// system) or lies on another device than the tree being removed.
bool OtherMount(const std::string& path, dev_t treeDevice)
{
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) != 0)
        return true;  // unknown: better left
    if ((sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT))
        return true;
    return makedev(sx.stx_dev_major, sx.stx_dev_minor) != treeDevice;
}

void RemoveTree(const std::string& folder, dev_t device)
{
    std::vector<std::string> children;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        children.push_back(it->path().string());
    for (const std::string& child : children) {
        struct stat st {};
        if (::lstat(child.c_str(), &st) != 0)
            continue;
        if (!S_ISDIR(st.st_mode))
            ::unlink(child.c_str());
        else if (!OtherMount(child, device))
            RemoveTree(child, device);
    }
    // Only an empty folder goes: some drivers delete a full one too.
    if (fs::is_empty(folder, ec) && !ec)
        ::rmdir(folder.c_str());
}

}  // namespace

Region ClearMagicLanternStart(const Region& region, int layoutIndex, std::vector<std::string>* cleared)
{
    const core::Layout layout = core::SelectLayout(layoutIndex == core::LayoutExFat   ? "exFAT"
                                                   : layoutIndex == core::LayoutFat32 ? "FAT32"
                                                   : layoutIndex == core::LayoutFat   ? "FAT"
                                                                                      : "");
    core::BootRecord b;
    b.VBR = region;
    std::vector<std::string> done;
    if (layout.index == core::LayoutNone || b.GetVBRString(layout.labelPos, core::kLabelWidth) != "EOS_DEVELOP") {
        if (cleared)
            cleared->clear();
        return region;
    }
    const auto clear = [&](const char* text, uint32_t pos, int width) {
        b.SetVBRString(std::string(static_cast<size_t>(width), ' '), pos, width);
        done.push_back(std::string(text) + " at " + core::OffsetCaption(pos));
    };
    clear("EOS_DEVELOP", layout.labelPos, core::kLabelWidth);
    if (b.GetVBRString(layout.bootPos, core::kBootWidth) == "BOOTDISK")
        clear("BOOTDISK", layout.bootPos, core::kBootWidth);
    else if (b.GetVBRString(core::kAltBootPos, core::kBootWidth) == "BOOTDISK")
        clear("BOOTDISK", core::kAltBootPos, core::kBootWidth);
    if (cleared)
        *cleared = done;
    return b.VBR;
}

std::vector<std::string> PlanRemoval(const std::string& root)
{
    std::vector<std::string> names;
    for (const char* mask : {"*.fir", "autoexec.bin", "*.pdf"}) {
        for (const std::string& name : core::ListFiles(root, mask)) {
            struct stat st {};
            if (::lstat((root + "/" + name).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
                names.push_back(name);
        }
    }
    if (core::FolderExistsNoCase(root, "ML"))
        names.push_back(fs::path(core::ResolveNoCase(root, "ML")).filename().string());
    return names;
}

bool RemoveNamed(const std::string& root, const std::vector<std::string>& names, std::vector<std::string>* left)
{
    struct stat top {};
    if (::stat(root.c_str(), &top) != 0)
        return false;
    std::vector<std::string> stayed;
    for (const std::string& name : names) {
        const std::string path = root + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        if (!S_ISDIR(st.st_mode))
            ::unlink(path.c_str());
        else if (!OtherMount(path, top.st_dev))
            RemoveTree(path, top.st_dev);
        if (::lstat(path.c_str(), &st) == 0)
            stayed.push_back(name);
    }
    if (left)
        *left = stayed;
    return stayed.empty();
}

}  // namespace cardops
