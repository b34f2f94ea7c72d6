// Set-up shared by the tests of the Save sequence on a card held in memory:
// a fake card whose boot region comes from the real mkfs, a folder standing
// for its files, a work folder, and Save requests for it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cardops/savesequence.h"
#include "core/bootrecord.h"
#include "support/cardfiles.h"
#include "support/fakecards.h"

namespace testsupport {

class SaveFixture : public ::testing::Test {
protected:
    std::filesystem::path dir;

    void SetUp() override
    {
        char tmpl[] = "/tmp/flintor-save-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::filesystem::create_directories(dir / "work");
        std::filesystem::create_directories(dir / "card");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string Card() const { return (dir / "card").string(); }
    std::string Work() const { return (dir / "work").string() + "/"; }

    // A card whose boot region (the first 64 sectors) comes from the real mkfs
    // of its file system ("FAT" is FAT16).
    void MakeCard(FakeCards& cards, const std::string& fsName)
    {
        const std::string image = (dir / "image").string();
        std::filesystem::remove(image);
        const std::string mkfs = fsName == "exFAT"   ? " && mkfs.exfat -L EOS_DIGITAL "
                                 : fsName == "FAT32" ? " && mkfs.fat -F 32 -n EOS_DIGITAL "
                                                     : " && mkfs.fat -F 16 -n EOS_DIGITAL ";
        const std::string size = fsName == "FAT" ? "16M " : "64M ";
        ASSERT_EQ(std::system(("truncate -s " + size + image + mkfs + image + " >/dev/null").c_str()), 0);
        cards.image.resize(64 * 512);  // the boot region and a little more, not the whole image
        std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(cards.image.data()), 64 * 512);
        cards.volume.name = "sdz1";
        cards.volume.fsName = fsName;
        cards.volume.sizeBytes = std::filesystem::file_size(image);
        cards.volume.sectorSize = 512;
        cards.volume.identity = "8:1:" + fsName;
        cards.mountRoot = Card();
    }

    // A Save of the card's region as it is, or with the Magic Lantern markers
    // at the layout's places.
    cardops::SaveRequest Request(const FakeCards& cards, bool mlMarkers = false)
    {
        cardops::SaveRequest r;
        r.name = cards.volume.name;
        r.identity = cards.volume.identity;
        const core::Layout layout = core::SelectLayout(cards.volume.fsName);
        r.layoutIndex = layout.index;
        std::copy(cards.image.begin(), cards.image.begin() + 24 * 512, r.loaded.begin());
        core::BootRecord b;
        b.VBR = r.loaded;
        if (mlMarkers) {
            b.SetVBRString("EOS_DEVELOP", layout.labelPos, core::kLabelWidth);
            b.SetVBRString("BOOTDISK", layout.bootPos, core::kBootWidth);
        }
        r.edited = b.VBR;
        r.workFolder = Work();
        return r;
    }

    // An install, with the markers, of an archive of the given entries.
    cardops::SaveRequest InstallRequest(const FakeCards& cards,
                                        const std::vector<std::pair<std::string, std::string>>& entries)
    {
        cardops::SaveRequest r = Request(cards, true);
        r.files = cardops::FileWork::Install;
        r.archive = (dir / "build.zip").string();
        std::filesystem::remove(r.archive);
        EXPECT_TRUE(MakeZip(r.archive, entries));
        return r;
    }

    std::vector<uint8_t> Region(const FakeCards& cards) const { return {&cards.image[0], &cards.image[24 * 512]}; }
    bool JournalLeft() const
    {
        std::error_code ec;
        return !std::filesystem::is_empty(dir / "work" / "journal", ec) && !ec;
    }
};

}  // namespace testsupport
