#include "cardops/removefiles.h"

#include <filesystem>

#include "core/fileutil.h"
#include "platform/cardfiles.h"

namespace fs = std::filesystem;

namespace cardops {

namespace {

// What a name is, links not followed: a link counts as a file.
enum class Kind { Missing, File, Folder };

Kind KindOf(const std::string& path)
{
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    return ec ? Kind::Missing : fs::is_directory(status) ? Kind::Folder : Kind::File;
}

// A folder that is the root of a mount (also a bind mount of the same file
// system) or lies on another file system than the tree being removed.
bool OtherMount(const std::string& path, uint64_t treeFileSystem)
{
    platform::Placement place;
    if (!platform::PlacementOf(path, platform::Links::DoNotFollow, &place))
        return true;  // unknown: better left
    return place.mountRoot || place.fileSystem != treeFileSystem;
}

void RemoveTree(const std::string& folder, uint64_t fileSystem)
{
    std::vector<std::string> children;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        children.push_back(it->path().string());
    for (const std::string& child : children) {
        const Kind kind = KindOf(child);
        if (kind == Kind::File)
            platform::RemoveFile(child, nullptr);
        else if (kind == Kind::Folder && !OtherMount(child, fileSystem))
            RemoveTree(child, fileSystem);
    }
    platform::RemoveEmptyFolder(folder);  // never a full one: some drivers delete it with what it holds
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
        for (const std::string& name : core::ListFiles(root, mask))
            if (KindOf(root + "/" + name) == Kind::File)
                names.push_back(name);
    }
    if (core::FolderExistsNoCase(root, "ML"))
        names.push_back(fs::path(core::ResolveNoCase(root, "ML")).filename().string());
    return names;
}

bool RemoveNamed(const std::string& root, const std::vector<std::string>& names, std::vector<std::string>* left)
{
    platform::Placement top;
    if (!platform::PlacementOf(root, platform::Links::Follow, &top))
        return false;
    std::vector<std::string> stayed;
    for (const std::string& name : names) {
        const std::string path = root + "/" + name;
        const Kind kind = KindOf(path);
        if (kind == Kind::Missing)
            continue;
        if (kind == Kind::File)
            platform::RemoveFile(path, nullptr);
        else if (!OtherMount(path, top.fileSystem))
            RemoveTree(path, top.fileSystem);
        if (KindOf(path) != Kind::Missing)
            stayed.push_back(name);
    }
    if (left)
        *left = stayed;
    return stayed.empty();
}

}  // namespace cardops
