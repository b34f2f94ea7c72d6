#include "cardops/cardload.h"

namespace cardops {

CardLoad LoadCard(platform::CardAccess& cards, const std::string& name)
{
    CardLoad load;
    const auto refuse = [&](std::string error, std::string detail) {
        load.error = std::move(error);
        load.detail = std::move(detail);
        return load;
    };
    if (name.empty() || !cards.FindVolume(name, &load.volume))
        return refuse("Drive not available", name + " is not a card any more.");
    const platform::Volume& v = load.volume;
    if (v.fsName == "?") {
        // Listed, but its device cannot be opened: the attempt says why.
        uint8_t sector[core::kSectorSize];
        return refuse("Drive not available", cards.ReadSectors(name, 0, 1, sector, sizeof sector).why);
    }
    if (v.fsName.find("FAT") == std::string::npos)
        return refuse("Drive not available", name + " carries no FAT, FAT32 or exFAT file system" +
                                                 (v.fsName.empty() ? "." : " (" + v.fsName + ")."));
    if (v.sectorSize != core::kSectorSize)
        return refuse(
            name + " has " + std::to_string(v.sectorSize) + "-byte sectors; only 512-byte sectors can be edited", "");
    const platform::AccessResult read =
        cards.ReadSectors(name, 0, core::kLoadSectors, load.region.data(), load.region.size());
    if (!read.ok())
        return refuse(v.fsName + " VBR load failed.", read.why);
    load.layoutIndex = core::SelectLayout(v.fsName).index;
    return load;
}

}  // namespace cardops
