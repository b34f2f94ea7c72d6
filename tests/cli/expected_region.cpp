// Test helper: the boot region a Save writes after the window's controls did
// what a preset asks. Reads 24 sectors from IN, writes them to OUT.
//   expected_region IN OUT FSNAME ml|chdk|none
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "core/markerpresets.h"

int main(int argc, char** argv)
{
    if (argc != 5)
        return 2;
    std::array<uint8_t, core::kVbrSize> region{};
    std::ifstream in(argv[1], std::ios::binary);
    in.read(reinterpret_cast<char*>(region.data()), core::kLoadSectors * core::kSectorSize);
    if (in.gcount() != core::kLoadSectors * core::kSectorSize)
        return 1;
    const int layout = core::SelectLayout(argv[3]).index;
    core::MarkerState state = core::LoadMarkers(region, layout);
    core::MarkerRequest request;
    const std::string preset = argv[4];
    request.preset = preset == "ml"     ? core::Preset::MagicLantern
                     : preset == "chdk" ? core::Preset::Chdk
                                        : core::Preset::Clear;
    std::string why;
    if (!core::ApplyMarkers(&state, request, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    core::BootRecord out = core::RegionToWrite(state);
    if (layout == core::LayoutExFat)
        out.SealExFatBootRegion();
    // FAT32's backup boot sector (sector 6 on these mkfs-made images, where it
    // equals the boot sector) keeps equal to the boot sector.
    if (layout == core::LayoutFat32)
        std::memcpy(out.VBR.data() + 6 * core::kSectorSize, out.VBR.data(), core::kSectorSize);
    std::ofstream(argv[2], std::ios::binary)
        .write(reinterpret_cast<const char*>(out.VBR.data()), core::kLoadSectors * core::kSectorSize);
    return 0;
}
