// The main window's card handling on real loop-device cards: listing, loading,
// the marker controls and presets, Save, and the content labels, all driven
// through the window's own widgets and checked on the raw bytes of the cards.
#include "cardwindow.h"

using namespace cardwindow;

namespace {

// ------------------------------------------------------------ list and ML

TEST_F(CardWindow, TwoFat32CardsListedEosSelectedAndMagicLanternSaveTouchesOnlyIt)
{
    NEW_CARD(other, {.fsType = "FAT32", .label = "NO NAME"});
    NEW_CARD(eos, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(eos->Mount()) << eos->error();
    const Bytes otherBefore = other->ReadDevice(0, 64 * 512);
    const Bytes eosBefore = eos->ReadDevice(0, kRegion);
    ASSERT_EQ(otherBefore.size(), 64u * 512);

    window_ = StartWindow();
    TfMain& w = *window_;
    const int otherIndex = EntryIndex(w, *other);
    const int eosIndex = EntryIndex(w, *eos);
    ASSERT_GE(otherIndex, 0);
    ASSERT_GE(eosIndex, 0);
    // "NO NAME" in the boot sector is the mark of a volume without label.
    EXPECT_EQ(w.cbDrives->itemText(otherIndex).toStdString(), other->name() + ": Removable Disk [FAT32] 67 MB");
    EXPECT_EQ(w.cbDrives->itemText(eosIndex).toStdString(), eos->name() + ": EOS_DIGITAL [FAT32] 67 MB");
    EXPECT_TRUE(w.cbDrives->isEnabled());
    // Cards of other programs may be attached too; ours is the camera card
    // unless another EOS_DIGITAL entry comes before it.
    int firstEos = -1;
    for (int i = 0; i < w.cbDrives->count() && firstEos < 0; ++i)
        if (w.cbDrives->itemText(i).contains(QStringLiteral(": EOS_DIGITAL")))
            firstEos = i;
    EXPECT_EQ(w.cbDrives->currentIndex(), firstEos);
    if (firstEos == eosIndex) {
        EXPECT_EQ(w.DriveName, eos->name());
    }
    ASSERT_TRUE(ChooseCard(w, *eos));
    EXPECT_TRUE(w.rgFileSystemItems[1]->isChecked());
    EXPECT_TRUE(w.bSave->isEnabled());
    EXPECT_EQ(w.CardRoot, eos->mountPoint());
    EXPECT_FALSE(w.sbML->isChecked());

    Click(w.sbML);
    EXPECT_TRUE(w.sbML->isChecked());
    EXPECT_TRUE(w.cbCardLabel->isChecked());
    EXPECT_TRUE(w.cbBootLabel->isChecked());
    EXPECT_TRUE(w.cbScript->isChecked());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x05C"));
    EXPECT_FALSE(w.gbML->isHidden());

    ClickSaveWithoutBuild(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    EXPECT_FALSE(w.StatusBar->panel(2).ownerDrawn);

    const Bytes eosAfter = eos->ReadDevice(0, kRegion);
    ASSERT_EQ(eosAfter.size(), kRegion);
    EXPECT_EQ(At(eosAfter, 0x47, 11), "EOS_DEVELOP");
    EXPECT_EQ(At(eosAfter, 0x5C, 8), "BOOTDISK");
    EXPECT_EQ(At(eosAfter, 0x1F0, 6), "SCRIPT");
    EXPECT_EQ(At(eosAfter, 0x1E0, 8), kSpaces8);
    ExpectOnlyBootSectorAndBackupWritten(eosAfter, eosBefore);
    EXPECT_EQ(other->ReadDevice(0, 64 * 512), otherBefore);
    EXPECT_EQ(other->ReadDevice(other->volumeSize() - 4096, 4096), Bytes(4096, 0)) << "end of the other card";

    ASSERT_TRUE(eos->Unmount()) << eos->error();
    std::string out;
    testsupport::RunCommand({"fsck.fat", "-n", eos->device()}, &out);
    EXPECT_NE(out.find(" files, "), std::string::npos) << "fsck.fat did not check the card: " << out;
    EXPECT_EQ(FatComplaintsBesidesMarkers(out), "") << out;
}

// --------------------------------------------------------- editor chains

TEST_F(CardWindow, Fat32TypingInTheBootEditFollowsTheBox)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->WriteDevice(0x5C, Text(kSpaces8)));
    ASSERT_TRUE(card->WriteDevice(0x1E0, Text(kSpaces8)));
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    ASSERT_EQ(w.eBootLabel->text(), QString());
    ASSERT_EQ(w.lBoot->text(), QStringLiteral("0x05C"));
    ASSERT_FALSE(w.cbBootLabel->isChecked());

    w.eBootLabel->setFocus();
    QTest::keyClicks(w.eBootLabel, QStringLiteral("boot"));
    EXPECT_EQ(w.eBootLabel->text(), QStringLiteral("BOOT"));
    EXPECT_EQ(VbrAt(w, 0x5C, 8), "BOOT    ");
    EXPECT_FALSE(w.cbBootLabel->isChecked());

    QTest::keyClicks(w.eBootLabel, QStringLiteral("DISKX"));  // the ninth character is refused
    EXPECT_EQ(w.eBootLabel->text(), QStringLiteral("BOOTDISK"));
    EXPECT_EQ(VbrAt(w, 0x5C, 8), "BOOTDISK");
    EXPECT_TRUE(w.cbBootLabel->isChecked());
    EXPECT_FALSE(w.sbCHDK->isChecked());

    QTest::keyClick(w.eBootLabel, Qt::Key_Backspace);
    EXPECT_FALSE(w.cbBootLabel->isChecked());
    EXPECT_EQ(w.eBootLabel->text(), QString());
    EXPECT_EQ(VbrAt(w, 0x5C, 8), kSpaces8);

    // Save what the chain left: the card carries spaces.
    QTest::keyClicks(w.eBootLabel, QStringLiteral("BOOTDISK"));
    QTest::keyClick(w.eBootLabel, Qt::Key_Backspace);
    ClickSave(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    EXPECT_EQ(At(card->ReadDevice(0, 512), 0x5C, 8), kSpaces8);
}

TEST_F(CardWindow, Fat32ChdkPressedTwiceSetsThenClearsTheAlternativePlace)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    const Bytes before = card->ReadDevice(0, kRegion);

    Click(w.sbCHDK);
    EXPECT_TRUE(w.sbCHDK->isChecked());
    EXPECT_TRUE(w.cbBootLabel->isChecked());
    EXPECT_FALSE(w.cbCardLabel->isChecked());
    EXPECT_FALSE(w.cbScript->isChecked());
    EXPECT_FALSE(w.sbML->isChecked());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x1E0"));
    EXPECT_EQ(w.eBootLabel->text(), QStringLiteral("BOOTDISK"));
    ClickSave(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    Bytes after = card->ReadDevice(0, kRegion);
    EXPECT_EQ(At(after, 0x1E0, 8), "BOOTDISK");
    EXPECT_EQ(At(after, 0x5C, 8), kSpaces8);
    // The boxes that were clear stay clear: label and script place keep the card's bytes.
    EXPECT_EQ(At(after, 0x47, 11), "EOS_DIGITAL");
    EXPECT_EQ(At(after, 0x1F0, 6), At(before, 0x1F0, 6));
    EXPECT_EQ(At(after, 0x1FE, 2), "\x55\xAA");
    ExpectOnlyBootSectorAndBackupWritten(after, before);

    Click(w.sbCHDK);
    EXPECT_FALSE(w.sbCHDK->isChecked());
    EXPECT_FALSE(w.cbBootLabel->isChecked());
    EXPECT_EQ(w.eBootLabel->text(), QString());
    ClickSave(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    after = card->ReadDevice(0, 512);
    EXPECT_EQ(At(after, 0x1E0, 8), kSpaces8);
    EXPECT_EQ(At(after, 0x5C, 8), kSpaces8);
}

TEST_F(CardWindow, Fat32MagicLanternOnAChdkCardMovesTheBootStringAndSaveClearsTheOther)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->WriteDevice(0x1E0, Text("BOOTDISK")));
    ASSERT_TRUE(card->Mount()) << card->error();
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x1E0"));
    EXPECT_TRUE(w.cbBootLabel->isChecked());
    EXPECT_TRUE(w.sbCHDK->isChecked());

    Click(w.sbML);
    EXPECT_TRUE(w.sbML->isChecked());
    EXPECT_FALSE(w.sbCHDK->isChecked());
    EXPECT_TRUE(w.cbBootLabel->isChecked());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x05C"));
    EXPECT_EQ(VbrAt(w, 0x5C, 8), "BOOTDISK");
    ClickSaveWithoutBuild(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    const Bytes after = card->ReadDevice(0, 512);
    EXPECT_EQ(At(after, 0x5C, 8), "BOOTDISK");
    EXPECT_EQ(At(after, 0x1E0, 8), kSpaces8);
    EXPECT_EQ(At(after, 0x47, 11), "EOS_DEVELOP");
    EXPECT_EQ(At(after, 0x1F0, 6), "SCRIPT");
}

TEST_F(CardWindow, Fat32MagicLanternThenChdkClearsAllThreeMarkers)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));

    Click(w.sbML);
    ASSERT_TRUE(w.cbCardLabel->isChecked() && w.cbBootLabel->isChecked() && w.cbScript->isChecked());
    Click(w.sbCHDK);
    EXPECT_FALSE(w.cbCardLabel->isChecked());
    EXPECT_FALSE(w.cbBootLabel->isChecked());
    EXPECT_FALSE(w.cbScript->isChecked());
    EXPECT_FALSE(w.sbCHDK->isChecked());
    EXPECT_FALSE(w.sbML->isChecked());
    EXPECT_TRUE(w.gbML->isHidden());
    ClickSave(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    const Bytes after = card->ReadDevice(0, 512);
    EXPECT_EQ(At(after, 0x47, 11), std::string(11, ' '));
    EXPECT_EQ(At(after, 0x5C, 8), kSpaces8);
    EXPECT_EQ(At(after, 0x1E0, 8), kSpaces8);
    EXPECT_EQ(At(after, 0x1F0, 6), std::string(6, ' '));
}

TEST_F(CardWindow, Fat32MagicLanternCardLoadsAsSuchAndOneBoxSaveNeitherInstallsNorRemoves)
{
    NEW_CARD(plain, {.fsType = "FAT32", .label = "CANON_DC"});
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->WriteDevice(0x47, Text("EOS_DEVELOP")));
    ASSERT_TRUE(card->WriteDevice(0x5C, Text("BOOTDISK")));
    ASSERT_TRUE(card->WriteDevice(0x1E0, Text(kSpaces8)));
    ASSERT_TRUE(card->Mount()) << card->error();
    WriteFile(card->mountPoint() + "/AUTOEXEC.BIN", std::string(300, 'x'));
    window_ = StartWindow();
    TfMain& w = *window_;
    // First the plain card, then the Magic Lantern card, as a user would.
    ASSERT_TRUE(ChooseCard(w, *plain));
    EXPECT_FALSE(w.sbML->isChecked());
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_TRUE(w.rgFileSystemItems[1]->isChecked());
    EXPECT_FALSE(w.rgFileSystemItems[0]->isChecked() || w.rgFileSystemItems[2]->isChecked());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x05C"));
    EXPECT_EQ(w.lVol->text(), QStringLiteral("0x047"));
    EXPECT_TRUE(w.cbBootLabel->isChecked());
    EXPECT_TRUE(w.cbCardLabel->isChecked());
    EXPECT_TRUE(w.sbML->isChecked());
    EXPECT_FALSE(w.sbCHDK->isChecked());
    EXPECT_FALSE(w.gbML->isHidden());
    EXPECT_EQ(w.lAutoexecOK->text(), QStringLiteral("OK"));

    Click(w.cbCardLabel);  // only BOOTDISK stays
    EXPECT_FALSE(w.cbCardLabel->isChecked());
    EXPECT_FALSE(w.sbML->isChecked());
    ClickSave(w);  // fails on any question
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    // The card was mounted in user space: Save unmounted it before writing
    // and mounted it again after.
    EXPECT_EQ(w.CardRoot, card->mountPoint());
    ASSERT_TRUE(card->Mount()) << card->error();
    EXPECT_TRUE(fs::exists(card->mountPoint() + "/AUTOEXEC.BIN"));
    const Bytes after = card->ReadDevice(0, 512);
    EXPECT_EQ(At(after, 0x47, 11), std::string(11, ' '));
    EXPECT_EQ(At(after, 0x5C, 8), "BOOTDISK");
}

TEST_F(CardWindow, Fat32RemovalQuestionAnsweredNoKeepsFilesAndYesRemovesThem)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->WriteDevice(0x47, Text("EOS_DEVELOP")));
    ASSERT_TRUE(card->WriteDevice(0x5C, Text("BOOTDISK")));
    ASSERT_TRUE(card->Mount()) << card->error();
    WriteFile(card->mountPoint() + "/AUTOEXEC.BIN", std::string(300, 'x'));
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    ASSERT_TRUE(w.sbML->isChecked());

    Click(w.sbML);  // both markers cleared
    ASSERT_FALSE(w.cbCardLabel->isChecked() || w.cbBootLabel->isChecked());
    QString asked = ClickSaveAnswering(w, QMessageBox::No);
    EXPECT_TRUE(asked.startsWith(QStringLiteral("Confirm|"))) << asked.toStdString();
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    EXPECT_EQ(At(card->ReadDevice(0, 512), 0x5C, 8), kSpaces8);
    // Unmounted by the Save (a user-space mount); the user mounts it again.
    ASSERT_TRUE(card->Mount()) << card->error();
    EXPECT_TRUE(fs::exists(card->mountPoint() + "/AUTOEXEC.BIN"));

    asked = ClickSaveAnswering(w, QMessageBox::Yes);
    EXPECT_TRUE(asked.startsWith(QStringLiteral("Confirm|"))) << asked.toStdString();
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    EXPECT_EQ(w.lAutoexecOK->text(), QStringLiteral("-"));
    ASSERT_TRUE(card->Mount()) << card->error();
    EXPECT_FALSE(fs::exists(card->mountPoint() + "/AUTOEXEC.BIN"));
}

// ------------------------------------------------------------------ exFAT

TEST_F(CardWindow, ExFatMagicLanternWritesASealedRegionThatFsckAccepts)
{
    NEW_CARD(fat, {.fsType = "FAT32", .label = "OTHER"});
    NEW_CARD(card, {.fsType = "exFAT", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->Mount()) << card->error();
    const Bytes before = card->ReadDevice(0, kRegion);
    const Bytes fatBefore = fat->ReadDevice(0, kRegion);
    ASSERT_EQ(before.size(), kRegion);
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_TRUE(w.rgFileSystemItems[2]->isChecked());
    EXPECT_FALSE(w.cbScript->isEnabled());
    EXPECT_FALSE(w.eScript->isEnabled());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x07A"));
    EXPECT_EQ(w.lScript->text(), QString());

    // The FAT32 card in the list keeps CHDK enabled; on exFAT it does nothing.
    ASSERT_TRUE(w.sbCHDK->isEnabled());
    const auto loaded = w.markers.boot.VBR;
    Click(w.sbCHDK);
    EXPECT_FALSE(w.sbCHDK->isChecked());
    EXPECT_FALSE(w.cbBootLabel->isChecked());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x07A"));
    EXPECT_TRUE(w.markers.boot.VBR == loaded) << "CHDK changed the buffer";

    Click(w.sbML);
    EXPECT_TRUE(w.sbML->isChecked());
    EXPECT_TRUE(w.cbScript->isChecked());
    EXPECT_EQ(w.eScript->text(), QStringLiteral("SCRIPT"));
    EXPECT_EQ(VbrAt(w, 0x82, 11), "EOS_DEVELOP");
    EXPECT_EQ(VbrAt(w, 0x7A, 8), "BOOTDISK");
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x07A"));
    EXPECT_EQ(VbrAt(w, 0x1F0, 6), At(before, 0x1F0, 6));
    EXPECT_EQ(VbrAt(w, 0x1E0, 8), At(before, 0x1E0, 8));

    ClickSaveWithoutBuild(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    // Save unmounted exfat-fuse for the write and mounted it again, which
    // marks the volume in use.
    const Bytes after = WithoutDriverState(card->ReadDevice(0, kRegion));
    ASSERT_EQ(after.size(), kRegion);
    EXPECT_EQ(after, WithoutDriverState(Bytes(w.markers.boot.VBR.begin(), w.markers.boot.VBR.begin() + kRegion)))
        << "all 24 sectors are the buffer";
    EXPECT_EQ(At(after, 0x82, 11), "EOS_DEVELOP");
    EXPECT_EQ(At(after, 0x7A, 8), "BOOTDISK");
    EXPECT_EQ(At(after, 0x5C, 8), At(before, 0x5C, 8)) << "exFAT fields at 0x5C";
    EXPECT_EQ(At(after, 0x1F0, 6), At(before, 0x1F0, 6));
    EXPECT_EQ(At(after, 12 * 512, 512), At(after, 0, 512)) << "backup boot sector";
    EXPECT_NE(At(after, 11 * 512, 512), At(before, 11 * 512, 512)) << "checksum sector unchanged";
    EXPECT_EQ(fat->ReadDevice(0, kRegion), fatBefore);

    std::string out;
    EXPECT_EQ(testsupport::RunCommand({"fsck.exfat", "-n", card->device()}, &out), 0) << out;

    // The backup region on its own is a valid boot region too.
    Bytes image = card->ReadImage(0, static_cast<size_t>(card->volumeSize()));
    ASSERT_EQ(image.size(), card->volumeSize());
    std::copy(image.begin() + 12 * 512, image.begin() + 24 * 512, image.begin());
    const std::string copyPath = card->folder() + "/backup-as-main.img";
    {
        std::ofstream copy(copyPath, std::ios::binary);
        copy.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        ASSERT_TRUE(copy.good());
    }
    EXPECT_EQ(testsupport::RunCommand({"fsck.exfat", "-n", copyPath}, &out), 0) << out;
    fs::remove(copyPath);
}

TEST_F(CardWindow, ExFatCardWithTheAlternativeBootStringGoesBackToItsOwnPlace)
{
    NEW_CARD(card, {.fsType = "exFAT", .label = "EOS_DIGITAL"});
    // Prepared unmounted (exfat-fuse writes its own copy of sector 0 while it
    // runs), with both checksum sectors made to fit: exfat-fuse refuses to
    // mount a region whose checksum does not.
    Bytes region = card->ReadDevice(0, kRegion);
    ASSERT_EQ(region.size(), kRegion);
    for (size_t first : {size_t{0}, size_t{12 * 512}}) {
        std::copy_n("BOOTDISK", 8, region.begin() + static_cast<long>(first + 0x1E0));
        uint32_t sum = 0;
        for (size_t i = 0; i < 11 * 512; ++i)
            if (i != 106 && i != 107 && i != 112)
                sum = ((sum >> 1) | (sum << 31)) + region[first + i];
        for (size_t k = 0; k < 512; ++k)
            region[first + 11 * 512 + k] = static_cast<uint8_t>(sum >> (8 * (k % 4)));
    }
    ASSERT_TRUE(card->WriteDevice(0, region));
    ASSERT_TRUE(card->Mount()) << card->error();
    const Bytes before = card->ReadDevice(0, kRegion);
    ASSERT_EQ(At(before, 0x1E0, 8), "BOOTDISK");
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x1E0"));
    EXPECT_TRUE(w.cbBootLabel->isChecked());

    Click(w.sbML);
    EXPECT_TRUE(w.sbML->isChecked());
    EXPECT_FALSE(w.sbCHDK->isChecked());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x07A"));
    ClickSaveWithoutBuild(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    const Bytes after = card->ReadDevice(0, kRegion);
    EXPECT_EQ(At(after, 0x7A, 8), "BOOTDISK");
    EXPECT_EQ(At(after, 0x1E0, 8), kSpaces8);
    EXPECT_EQ(At(after, 0x5C, 8), At(before, 0x5C, 8));
    EXPECT_EQ(At(after, 0x82, 11), "EOS_DEVELOP");
    std::string out;
    EXPECT_EQ(testsupport::RunCommand({"fsck.exfat", "-n", card->device()}, &out), 0) << out;
}

// ------------------------------------------------------------ FAT12/FAT16

class FatCardWindow : public CardWindow, public ::testing::WithParamInterface<const char*> {};

TEST_P(FatCardWindow, ChdkPresetSavedLoadsBackAsTheChdkCard)
{
    const std::string fsType = GetParam();
    NEW_CARD(card,
             {.fsType = fsType, .label = "EOS_DIGITAL", .sizeBytes = fsType == "FAT12" ? (4ull << 20) : (64ull << 20)});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_TRUE(w.rgFileSystemItems[0]->isChecked());
    EXPECT_TRUE(w.cbScript->isEnabled());
    EXPECT_FALSE(w.eScript->isEnabled());
    EXPECT_TRUE(w.eBootLabel->isEnabled());
    EXPECT_TRUE(w.sbCHDK->isEnabled());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x040"));
    EXPECT_EQ(w.lVol->text(), QStringLiteral("0x02B"));
    EXPECT_EQ(w.lScript->text(), QStringLiteral("0x1F0"));

    Click(w.cbScript);
    EXPECT_EQ(w.eScript->text(), QStringLiteral("SCRIPT"));
    EXPECT_EQ(VbrAt(w, 0x1F0, 6), "SCRIPT");

    Click(w.sbCHDK);
    EXPECT_TRUE(w.sbCHDK->isChecked());
    EXPECT_TRUE(w.cbBootLabel->isChecked());
    EXPECT_FALSE(w.cbScript->isChecked());
    EXPECT_EQ(w.lBoot->text(), QStringLiteral("0x1E0"));
    ClickSave(w);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Write succesful "));
    const Bytes after = card->ReadDevice(0, 512);
    EXPECT_EQ(At(after, 0x1E0, 8), "BOOTDISK");
    EXPECT_EQ(At(after, 0x40, 8), kSpaces8);
    EXPECT_EQ(At(after, 0x5C, 8), kSpaces8);
    EXPECT_EQ(At(after, 0x1F0, 6), std::string(6, ' '));
    std::string out;
    EXPECT_EQ(testsupport::RunCommand({"fsck.fat", "-n", card->device()}, &out), 0) << out;

    // Loaded again, in this window and in a new one: the CHDK card.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "refresh" : "new window");
        if (round == 1) {
            window_.reset();
            window_ = StartWindow();
        } else {
            Click(window_->bRefresh);
        }
        TfMain& v = *window_;
        ASSERT_TRUE(ChooseCard(v, *card));
        EXPECT_TRUE(v.sbCHDK->isChecked());
        EXPECT_TRUE(v.cbBootLabel->isChecked());
        EXPECT_EQ(v.eBootLabel->text(), QStringLiteral("BOOTDISK"));
        EXPECT_EQ(v.lBoot->text(), QStringLiteral("0x1E0"));
        EXPECT_FALSE(v.cbCardLabel->isChecked());
    }
}

INSTANTIATE_TEST_SUITE_P(Fat, FatCardWindow, ::testing::Values("FAT12", "FAT16"));

// ---------------------------------------------------------------- removal

TEST_F(CardWindow, CardDetachedBeforeSaveWritesNothing)
{
    NEW_CARD(other, {.fsType = "FAT32", .label = "OTHER"});
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    const Bytes otherBefore = other->ReadDevice(0, kRegion);
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    const Bytes imageBefore = card->ReadImage(0, kRegion);
    Click(w.sbCHDK);
    ASSERT_TRUE(w.cbBootLabel->isChecked());

    ASSERT_TRUE(card->Detach()) << card->error();
    const QString shown = ClickSaveExpectingError(w);
    EXPECT_TRUE(shown.contains(QString::fromStdString(card->name()))) << shown.toStdString();
    EXPECT_TRUE(Panel(w, 3).startsWith(QStringLiteral(" Write failed. "))) << Panel(w, 3).toStdString();
    EXPECT_TRUE(w.StatusBar->panel(2).ownerDrawn);
    EXPECT_EQ(card->ReadImage(0, kRegion), imageBefore);
    EXPECT_EQ(other->ReadDevice(0, kRegion), otherBefore);

    // Choosing the gone card again: the load fails and Save stays off.
    const int index = w.cbDrives->findText(QString::fromStdString(card->name()), Qt::MatchStartsWith);
    ASSERT_GE(index, 0);
    w.cbDrives->setCurrentIndex(index);
    emit w.cbDrives->activated(index);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Drive not available"));
    EXPECT_FALSE(w.bSave->isEnabled());
    EXPECT_FALSE(w.cbBootLabel->isEnabled());
    EXPECT_EQ(w.lBoot->text(), QString());
}

// Alt+F with the program's own format dialog, cancelled and then confirmed.
TEST_F(CardWindow, AltFFormatsTheChosenCardAfterTheDialog)
{
    NEW_CARD(other, {.fsType = "FAT32", .label = "OTHER"});
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->Mount()) << card->error();
    const Bytes otherBefore = other->ReadDevice(0, kRegion);
    const Bytes cardBefore = card->ReadDevice(0, kRegion);
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    const int index = w.cbDrives->currentIndex();

    // Answers the dialog: Cancel, or exFAT with a new label and Format.
    auto answer = [&](bool confirm) {
        QTimer::singleShot(100, [confirm] {
            auto* dialog = qobject_cast<TFormatDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            EXPECT_TRUE(dialog->warning->text().contains(QStringLiteral("erases EVERYTHING")));
            if (!confirm) {
                dialog->reject();
                return;
            }
            dialog->fileSystem->setCurrentText(QStringLiteral("exFAT"));
            dialog->label->setText(QStringLiteral("NEWCARD"));
            dialog->findChild<QPushButton*>(QStringLiteral("formatButton"))->click();
        });
    };
    answer(false);
    QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" User canceled formatting the drive"));
    EXPECT_EQ(card->ReadDevice(0, kRegion), cardBefore);

    w.activateWindow();  // as the window manager does when the dialog closes
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    answer(true);
    QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(Panel(w, 3), QStringLiteral(" Card has been formatted "));
    EXPECT_EQ(w.cbDrives->currentIndex(), index);  // the same place in the list
    EXPECT_EQ(w.cbDrives->currentText(),
              QString::fromStdString(card->name()) + QStringLiteral(": NEWCARD [exFAT] 67 MB"));
    EXPECT_TRUE(w.rgFileSystemItems[2]->isChecked());
    EXPECT_TRUE(w.bSave->isEnabled());
    std::string output;
    EXPECT_EQ(testsupport::RunCommand({"fsck.exfat", "-n", card->device()}, &output), 0) << output;
    EXPECT_EQ(other->ReadDevice(0, kRegion), otherBefore);  // only the chosen card
}

// Cards that come and go show by themselves, unless that would lose a change.
TEST_F(CardWindow, ArrivingCardIsListedByItselfUnlessMarkersChanged)
{
    NEW_CARD(first, {.fsType = "FAT32", .label = "FIRST"});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *first));
    NEW_CARD(second, {.fsType = "exFAT", .label = "SECOND"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return EntryIndex(w, *second) >= 0; }, 5000)) << "the new card was not listed";

    Click(w.sbCHDK);  // a change of the loaded card's markers
    ASSERT_TRUE(w.markersChanged);
    const int count = w.cbDrives->count();
    NEW_CARD(third, {.fsType = "FAT32", .label = "THIRD"});
    QTest::qWait(1500);
    EXPECT_EQ(w.cbDrives->count(), count);
    EXPECT_EQ(EntryIndex(w, *third), -1);
    EXPECT_TRUE(w.cbBootLabel->isChecked());  // the change is still there
}

TEST_F(CardWindow, MagicLanternSaveOnACardThatIsNotMountedIsRefused)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    const Bytes before = card->ReadDevice(0, kRegion);
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_EQ(w.CardRoot, "");
    EXPECT_EQ(w.lAutoexecOK->text(), QStringLiteral("-"));
    Click(w.sbML);
    ASSERT_TRUE(w.cbCardLabel->isChecked() && w.cbBootLabel->isChecked());
    ClickSaveExpectingError(w);
    EXPECT_TRUE(Panel(w, 3).contains(QStringLiteral("not mounted"))) << Panel(w, 3).toStdString();
    EXPECT_TRUE(w.StatusBar->panel(2).ownerDrawn);
    EXPECT_EQ(card->ReadDevice(0, kRegion), before);
    // The window is usable again afterwards.
    EXPECT_TRUE(w.bSave->isEnabled());
    EXPECT_TRUE(w.sbML->isEnabled());
    EXPECT_TRUE(w.eBootLabel->isEnabled());
}

TEST_F(CardWindow, AnotherCardUnderTheSameNameIsNotWritten)
{
    NEW_CARD(card, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    const std::string name = card->name();
    Click(w.sbCHDK);
    ASSERT_TRUE(card->Detach()) << card->error();
    // The freed loop device is usually taken by the next card.
    NEW_CARD(next, {.fsType = "FAT32", .label = "EOS_DIGITAL"});
    if (next->name() != name)
        GTEST_SKIP() << "the new card got " << next->name() << ", not " << name;
    const Bytes nextBefore = next->ReadDevice(0, kRegion);
    ClickSaveExpectingError(w);
    EXPECT_TRUE(Panel(w, 3).startsWith(QStringLiteral(" Write failed. "))) << Panel(w, 3).toStdString();
    EXPECT_EQ(next->ReadDevice(0, kRegion), nextBefore);
}

// ----------------------------------------------------------------- content

class ContentWindow : public CardWindow, public ::testing::WithParamInterface<const char*> {};

TEST_P(ContentWindow, LabelsFollowTheFilesOnTheCard)
{
    NEW_CARD(card, {.fsType = GetParam(), .label = "EOS_DIGITAL"});
    ASSERT_TRUE(card->Mount()) << card->error();
    const std::string root = card->mountPoint();
    std::string autoexec(8, '\0');
    autoexec += "Magic Lantern v1\n";
    autoexec.resize(400, '\0');
    WriteFile(root + "/AUTOEXEC.BIN", autoexec);
    WriteFile(root + "/DCIM", "not a folder");
    WriteFile(root + "/A.FIR", "a");
    WriteFile(root + "/B.FIR", "b");

    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_EQ(w.CardRoot, root);
    EXPECT_EQ(w.lAutoexecOK->text(), QStringLiteral("OK"));
    const QStringList hint = w.lAutoexecOK->toolTip().split(QLatin1Char('\n'));
    ASSERT_EQ(hint.size(), 3) << w.lAutoexecOK->toolTip().toStdString();
    EXPECT_EQ(hint[0], QStringLiteral("Magic Lantern v1"));
    EXPECT_TRUE(hint[1].startsWith(QStringLiteral("Date: ")));
    EXPECT_EQ(hint[2], QStringLiteral("Size: 400 bytes"));
    EXPECT_EQ(w.lDCIMsize->text(), QStringLiteral("-"));
    EXPECT_EQ(w.lDiskBootOK->text(), QStringLiteral("-"));
    EXPECT_EQ(w.lMLdirOK->text(), QStringLiteral("-"));
    EXPECT_EQ(w.lfirName->text(), QStringLiteral("2 fir files"));
    QStringList firs = w.lfirName->toolTip().split(QLatin1Char('\r'));
    firs.sort();
    EXPECT_EQ(firs, (QStringList{QStringLiteral("A.FIR"), QStringLiteral("B.FIR")}))
        << w.lfirName->toolTip().toStdString();

    // Now an empty DCIM folder, ML as a folder, a folder named x.fir, and an
    // autoexec.bin without a name text.
    fs::remove(root + "/DCIM");
    fs::create_directory(root + "/DCIM");
    fs::create_directory(root + "/ML");
    fs::create_directory(root + "/X.FIR");
    WriteFile(root + "/DISKBOOT.BIN", "d");
    std::string plain(300, '\0');
    plain[8] = 'N';
    WriteFile(root + "/AUTOEXEC.BIN", plain);
    Click(w.bRefresh);
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_EQ(w.lDCIMsize->text(), QStringLiteral("OK"));
    EXPECT_EQ(w.lMLdirOK->text(), QStringLiteral("OK"));
    EXPECT_EQ(w.lDiskBootOK->text(), QStringLiteral("OK"));
    EXPECT_EQ(w.lfirName->text(), QStringLiteral("3 fir files"));
    EXPECT_EQ(w.lfirName->toolTip().split(QLatin1Char('\r')).size(), 3);
    EXPECT_TRUE(w.lAutoexecOK->toolTip().startsWith(QStringLiteral("Date: ")))
        << w.lAutoexecOK->toolTip().toStdString();

    // One .fir file: its name and no hint.
    fs::remove(root + "/A.FIR");
    fs::remove(root + "/X.FIR");
    Click(w.bRefresh);
    ASSERT_TRUE(ChooseCard(w, *card));
    EXPECT_EQ(w.lfirName->text(), QStringLiteral("B.FIR"));
    EXPECT_EQ(w.lfirName->toolTip(), QString());
}

INSTANTIATE_TEST_SUITE_P(Mounted, ContentWindow, ::testing::Values("exFAT", "FAT32"));

// ------------------------------------------------------------- screenshot

TEST_F(CardWindow, ScreenshotOfAnExFatCardWithTheMagicLanternPreset)
{
    NEW_CARD(card, {.fsType = "exFAT", .label = "EOS_DIGITAL"});
    window_ = StartWindow();
    TfMain& w = *window_;
    ASSERT_TRUE(ChooseCard(w, *card));
    Click(w.sbML);
    ASSERT_TRUE(w.sbML->isChecked());
    QTest::qWait(100);
    // FLINTOR_SCREENSHOT_DIR names the folder for the picture (docs/ when it is
    // refreshed); by default it lands in the working folder.
    const QString folder = qEnvironmentVariableIsEmpty("FLINTOR_SCREENSHOT_DIR")
                               ? QDir::currentPath()
                               : qEnvironmentVariable("FLINTOR_SCREENSHOT_DIR");
    const QString target = folder + QStringLiteral("/window-exfat-ml.png");
    QDir().mkpath(QFileInfo(target).absolutePath());
    const QImage shot = w.grab().toImage();
    EXPECT_EQ(shot.width(), 330);
    EXPECT_GT(shot.height(), 384);
    EXPECT_TRUE(shot.save(target)) << target.toStdString();
}

}  // namespace
