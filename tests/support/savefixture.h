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

    static int LayoutOf(const std::string& fsName)
    {
        return fsName == "exFAT" ? core::LayoutExFat : fsName == "FAT32" ? core::LayoutFat32 : core::LayoutFat;
    }

    // A card whose boot region (the first 64 sectors) comes from the real mkfs
    // of its file system ("FAT" is FAT16).
    void MakeCard(FakeCards& cards, const std::string& fsName)
    {
        const std::string image = (dir / "image").string();
        std::filesystem::remove(image);
        const std::string size = fsName == "FAT" ? "16M" : "64M";
        const std::string mkfs = fsName == "exFAT"   ? "mkfs.exfat -L EOS_DIGITAL "
                                 : fsName == "FAT32" ? "mkfs.fat -F 32 -n EOS_DIGITAL "
                                                     : "mkfs.fat -F 16 -n EOS_DIGITAL ";
        ASSERT_EQ(std::system(("truncate -s " + size + " " + image + " && " + mkfs + image + " >/dev/null").c_str()),
                  0);
        cards.image.resize(64 * 512);  // the boot region and a little more, not the whole image
        std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(cards.image.data()), 64 * 512);
        cards.volume.name = "sdz1";
        cards.volume.device = "/dev/sdz1";
        cards.volume.fsName = fsName;
        cards.volume.label = "EOS_DIGITAL";
        cards.volume.sizeBytes = std::filesystem::file_size(image);
        cards.volume.sectorSize = 512;
        cards.volume.identity = "8:1:" + fsName;
        cards.mountRoot = Card();
    }

    cardops::SaveRequest Request(const FakeCards& cards, const std::string& fsName)
    {
        cardops::SaveRequest r;
        r.name = cards.volume.name;
        r.identity = cards.volume.identity;
        r.layoutIndex = LayoutOf(fsName);
        std::copy(cards.image.begin(), cards.image.begin() + 24 * 512, r.loaded.begin());
        r.edited = r.loaded;
        r.workFolder = Work();
        return r;
    }

    // The Magic Lantern markers at the layout's places.
    static void SetMlMarkers(cardops::SaveRequest& r)
    {
        core::BootRecord b;
        b.VBR = r.edited;
        const int l = r.layoutIndex;
        const core::Layout places = core::SelectLayout(l == core::LayoutExFat   ? "exFAT"
                                                       : l == core::LayoutFat32 ? "FAT32"
                                                                                : "FAT");
        b.SetVBRString("EOS_DEVELOP", places.labelPos, core::kLabelWidth);
        b.SetVBRString("BOOTDISK", places.bootPos, core::kBootWidth);
        r.edited = b.VBR;
    }

    // An install request for an archive of the given entries.
    cardops::SaveRequest InstallRequest(const FakeCards& cards, const std::string& fsName,
                                        const std::vector<std::pair<std::string, std::string>>& entries)
    {
        cardops::SaveRequest r = Request(cards, fsName);
        SetMlMarkers(r);
        r.files = cardops::FileWork::Install;
        r.archive = (dir / "build.zip").string();
        std::filesystem::remove(r.archive);
        EXPECT_TRUE(MakeZip(r.archive, entries));
        return r;
    }

    std::vector<uint8_t> Region(const FakeCards& cards) const
    {
        return std::vector<uint8_t>(cards.image.begin(), cards.image.begin() + 24 * 512);
    }
    bool JournalLeft() const
    {
        std::error_code ec;
        return std::filesystem::exists(dir / "work" / "journal", ec) &&
               !std::filesystem::is_empty(dir / "work" / "journal", ec);
    }
};

}  // namespace testsupport
