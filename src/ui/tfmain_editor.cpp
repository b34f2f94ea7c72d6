// Loading a card's boot region, the marker controls, the presets and Save.
#include "core/driveentry.h"
#include "core/fileutil.h"
#include "platform/cardaccess.h"
#include "ui/appconfig.h"
#include "ui/buttonart.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"
#include "ui/urllink.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>

namespace {
std::string Bytes(const QString& text)
{
    // The edits hold upper-case single-byte text; anything else becomes "?".
    return text.toLatin1().toStdString();
}
}  // namespace

void TfMain::SetFileSystemIndex(int index)
{
    fileSystemIndex = index;
    for (int i = 0; i < 3; ++i) {
        rgItems[i]->setAutoExclusive(false);
        rgItems[i]->setChecked(i == index);
        rgItems[i]->setAutoExclusive(true);
    }
}

void TfMain::SetEditText(QLineEdit* edit, const QString& text)
{
    // Setting a control to the value it already has runs nothing.
    if (edit->text() != text)
        edit->setText(text);
}

void TfMain::EnableMarkerControls(bool enable)
{
    for (QWidget* w :
         std::initializer_list<QWidget*>{eCardLabel, eBootLabel, eScript, cbCardLabel, cbBootLabel, cbScript})
        w->setEnabled(enable);
}

void TfMain::MarkUserChange()
{
    if (!loading_)
        markersChanged = true;
}

void TfMain::cbDrivesChange()
{
    loading_ = true;
    // The card's last Save may have been cut short: finish or undo it first.
    const std::string chosen = core::EntryVolumeName(cbDrives->currentText().toStdString());
    const std::vector<std::string> recovered = chosen.empty() ? std::vector<std::string>() : RecoverCard(chosen);
    // The buffer is never written to a drive it was not read from: Save stays
    // off until this load has succeeded.
    bSave->setEnabled(false);
    EnableMarkerControls(false);
    // Nothing read before this load may be written, not even when the list
    // turns out empty.
    DriveIdentity.clear();
    boot.LabelPos = boot.BootPos = boot.ScriptPos = 0;
    lVol->clear();
    lBoot->clear();
    lScript->clear();
    if (cbDrives->count() == 0) {
        loading_ = false;
        return;
    }

    const std::string entry = cbDrives->currentText().toStdString();
    DriveName = core::EntryVolumeName(entry);
    SetFileSystemIndex(-1);
    platform::Volume volume;
    platform::CardAccess& cards = platform::Cards();
    const bool found = !DriveName.empty() && cards.FindVolume(DriveName, &volume);
    const std::string fsName = found ? volume.fsName : std::string();
    const QString n = QString::fromStdString(fsName);

    bool loaded = false;
    if (fsName == "?") {
        // Listed, but its device cannot be opened: say why and what to do.
        uint8_t sector[core::kSectorSize];
        const platform::AccessResult probe = cards.ReadSectors(DriveName, 0, 1, sector, sizeof sector);
        const QString why = QString::fromStdString(probe.why);
        erslog(QStringLiteral("Drive not available. ") + why);
        StatusBar->setToolTip(QStringLiteral("Drive not available. ") + why);
    } else if (fsName.find("FAT") == std::string::npos) {
        erslog(QStringLiteral("Drive not available"));
    } else if (volume.sectorSize != core::kSectorSize) {
        erslog(QStringLiteral("%1 has %2-byte sectors; only 512-byte sectors can be edited")
                   .arg(QString::fromStdString(DriveName))
                   .arg(volume.sectorSize));
    } else if (const platform::AccessResult read =
                   cards.ReadSectors(DriveName, 0, core::kLoadSectors, boot.VBR.data(), boot.VBR.size());
               !read.ok()) {
        erslog(n + QStringLiteral(" VBR load failed. ") + QString::fromStdString(read.why));
        if (read.why.size() > 40)
            StatusBar->setToolTip(n + QStringLiteral(" VBR load failed. ") + QString::fromStdString(read.why));
    } else {
        loaded = true;
        std::copy(boot.VBR.begin(), boot.VBR.end(), loadedRegion_.begin());
    }

    if (loaded) {
        slogR();
        log(n + QStringLiteral(" VBR loaded"));
        const core::Layout layout = core::SelectLayout(fsName);
        if (layout.index >= 0) {
            SetFileSystemIndex(layout.index);
            bSave->setEnabled(true);
            DriveIdentity = volume.identity;
            eCardLabel->setEnabled(true);
            eBootLabel->setEnabled(true);
            cbCardLabel->setEnabled(true);
            cbBootLabel->setEnabled(true);
            if (layout.index != core::LayoutExFat) {
                cbScript->setEnabled(true);
                sbCHDK->setEnabled(true);
            }
            if (layout.index == core::LayoutFat32)
                eScript->setEnabled(true);
        }
        boot.LabelPos = layout.labelPos;
        boot.BootPos = layout.bootPos;
        boot.ScriptPos = layout.scriptPos;

        if (boot.LabelPos != 0) {
            SetEditText(eCardLabel, QString::fromStdString(boot.GetVBRString(boot.LabelPos, core::kLabelWidth)));
            lVol->setText(QString::fromStdString(core::OffsetCaption(boot.LabelPos)));
        } else {
            SetEditText(eCardLabel, QString());
            lVol->clear();
        }
        if (boot.BootPos != 0) {
            SetEditText(eBootLabel, QString::fromStdString(boot.GetVBRString(boot.BootPos, core::kBootWidth)));
            if (boot.GetVBRString(core::kAltBootPos, core::kBootWidth) == "BOOTDISK") {
                boot.BootPos = core::kAltBootPos;
                SetEditText(eBootLabel, QStringLiteral("BOOTDISK"));
            }
            lBoot->setText(QString::fromStdString(core::OffsetCaption(boot.BootPos)));
        } else {
            SetEditText(eBootLabel, QString());
            lBoot->clear();
        }
        if (boot.ScriptPos != 0) {
            SetEditText(eScript, QString::fromStdString(boot.GetVBRString(boot.ScriptPos, core::kScriptWidth)));
            lScript->setText(QString::fromStdString(core::OffsetCaption(boot.ScriptPos)));
        } else {
            SetEditText(eScript, QString());
            lScript->clear();
        }
    }

    cbBootLabel->setChecked(eBootLabel->text() == QLatin1String("BOOTDISK"));
    cbCardLabel->setChecked(eCardLabel->text() == QLatin1String("EOS_DEVELOP"));
    cbScript->setChecked(eScript->text() == QLatin1String("SCRIPT"));

    CardRoot = found ? volume.mountPoint : std::string();
    RefreshContentLabels();
    loading_ = false;
    markersChanged = false;
    ShowRecovery(recovered);
}

// ------------------------------------------------------------ check boxes

void TfMain::cbCardLabelClick()
{
    SetEditText(eCardLabel, cbCardLabel->isChecked() ? QStringLiteral("EOS_DEVELOP") : QString());
    sbML->setChecked(cbBootLabel->isChecked() && cbCardLabel->isChecked());
    ShowHideML(sbML->isChecked());
}

void TfMain::cbBootLabelClick()
{
    SetEditText(eBootLabel, cbBootLabel->isChecked() ? QStringLiteral("BOOTDISK") : QString());
    sbCHDK->setChecked(cbBootLabel->isChecked() && boot.BootPos == core::kAltBootPos);
    sbML->setChecked(cbBootLabel->isChecked() && cbCardLabel->isChecked());
    ShowHideML(sbML->isChecked());
}

void TfMain::cbScriptClick()
{
    SetEditText(eScript, cbScript->isChecked() ? QStringLiteral("SCRIPT") : QString());
}

// ------------------------------------------------------------------ edits

void TfMain::eCardLabelChange()
{
    if (boot.LabelPos != 0)
        boot.SetVBRString(Bytes(eCardLabel->text()), boot.LabelPos, core::kLabelWidth);
    cbCardLabel->setChecked(eCardLabel->text() == QLatin1String("EOS_DEVELOP"));
}

void TfMain::eBootLabelChange()
{
    if (boot.BootPos != 0)
        boot.SetVBRString(Bytes(eBootLabel->text()), boot.BootPos, core::kBootWidth);
    cbBootLabel->setChecked(eBootLabel->text() == QLatin1String("BOOTDISK"));
}

void TfMain::eScriptChange()
{
    if (boot.ScriptPos != 0)
        boot.SetVBRString(Bytes(eScript->text()), boot.ScriptPos, core::kScriptWidth);
    cbScript->setChecked(eScript->text() == QLatin1String("SCRIPT"));
}

// ---------------------------------------------------------------- presets

void TfMain::sbCHDKClick()
{
    const QString entry = cbDrives->currentText();
    if (entry.contains(QLatin1String("[exFAT]")) || !cbCardLabel->isEnabled()) {
        sbCHDK->setChecked(false);
        return;
    }
    // FAT32 and FAT cards both take the CHDK boot string at 0x1E0, so that a
    // save followed by a load shows the card as the preset left it.
    if (entry.contains(QLatin1String("[FAT32]")) || entry.contains(QLatin1String("[FAT]"))) {
        boot.BootPos = core::kAltBootPos;
        boot.SetVBRString(Bytes(eBootLabel->text()), boot.BootPos, core::kBootWidth);
        lBoot->setText(QString::fromStdString(core::OffsetCaption(boot.BootPos)));
    }
    cbBootLabel->setChecked(!cbBootLabel->isChecked());
    cbCardLabel->setChecked(false);
    cbScript->setChecked(false);
}

void TfMain::sbMLClick()
{
    if (cbCardLabel->isEnabled() && cbBootLabel->isEnabled()) {
        const QString entry = cbDrives->currentText();
        uint32_t place = 0;
        if (entry.contains(QLatin1String("[FAT32]")))
            place = core::kFat32BootPos;
        else if (entry.contains(QLatin1String("[exFAT]")) && fileSystemIndex == core::LayoutExFat)
            place = core::SelectLayout("exFAT").bootPos;  // back to the layout's own place
        if (place != 0) {
            boot.BootPos = place;
            boot.SetVBRString(Bytes(eBootLabel->text()), boot.BootPos, core::kBootWidth);
            sbCHDK->setChecked(false);
        }
        lBoot->setText(QString::fromStdString(core::OffsetCaption(boot.BootPos)));
        cbCardLabel->setChecked(!cbCardLabel->isChecked());
        cbBootLabel->setChecked(cbCardLabel->isChecked());
        cbScript->setChecked(cbCardLabel->isChecked());
    }
    ShowHideML(sbML->isChecked());
}

void TfMain::sbMLMouseDown()
{
    ShowHideML(gbML->isHidden());
}

void TfMain::sbCHDKDblClick()
{
    if (TURLLink::openLink)
        TURLLink::openLink(QString::fromLatin1(appconfig::kChdkUrl));
}

void TfMain::sbMLDblClick()
{
    if (TURLLink::openLink)
        TURLLink::openLink(QString::fromLatin1(appconfig::kMagicLanternUrl));
}

// ------------------------------------------------------------------- save

void TfMain::LockForSave(bool locked)
{
    if (locked == lockedForSave_)
        return;
    lockedForSave_ = locked;
    if (formatShortcut)
        formatShortcut->setEnabled(!locked);
    if (locked) {
        lockedWidgets_.clear();
        for (QWidget* w : std::initializer_list<QWidget*>{cbDrives, bRefresh, bSave, eCardLabel, eBootLabel, eScript,
                                                          cbCardLabel, cbBootLabel, cbScript, sbCHDK, sbML, rbDevelop,
                                                          cbDevelop, rbNightly, cbNightly}) {
            if (w->isEnabled()) {
                lockedWidgets_.push_back(w);
                w->setEnabled(false);
            }
        }
    } else {
        for (QWidget* w : lockedWidgets_)
            w->setEnabled(true);
        lockedWidgets_.clear();
    }
}

void TfMain::bSaveClick()
{
    if (saving || DriveName.empty() || DriveIdentity.empty())
        return;
    saving = true;
    // Nothing that decides what is written can change while the card is
    // being prepared: the list, the markers, the presets, the build choice
    // and the format shortcut are locked until the Save ends.
    LockForSave(true);
    slogR();

    cardops::SaveRequest request;
    request.name = DriveName;
    request.identity = DriveIdentity;
    request.layoutIndex = fileSystemIndex;
    request.loaded = loadedRegion_;
    core::BootRecord edited = boot;
    // The place pair is applied to what is written, not to the buffer the
    // controls show.
    edited.ApplyPlacePair(fileSystemIndex);
    request.edited = edited.VBR;
    request.workFolder = WorkFolder;
    if (PrepareFileWork(&request))
        RunSave(request, false);
    LockForSave(false);
    saving = false;
}
