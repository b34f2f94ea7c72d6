// Loading a card's boot region, the marker controls, the presets and Save.
#include "cardops/cardload.h"
#include "config/appconfig.h"
#include "core/driveentry.h"
#include "core/fileutil.h"
#include "platform/cardaccess.h"
#include "ui/buttonart.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"
#include "ui/urllink.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QSignalBlocker>

namespace {
std::string Bytes(const QString& text)
{
    // The edits hold upper-case single-byte text; anything else becomes "?".
    return text.toLatin1().toStdString();
}
}  // namespace

void TfMain::ShowFileSystem(int index)
{
    for (int i = 0; i < 3; ++i) {
        rgFileSystemItems[i]->setAutoExclusive(false);
        rgFileSystemItems[i]->setChecked(i == index);
        rgFileSystemItems[i]->setAutoExclusive(true);
    }
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

void TfMain::ShowMarkers()
{
    // The controls show the state the marker rules left; showing it runs no
    // handler (the rules have run the whole chain already).
    const auto showText = [](QLineEdit* edit, const std::string& text) {
        const QString shown = QString::fromLatin1(text.data(), static_cast<int>(text.size()));
        if (edit->text() != shown) {
            const QSignalBlocker quiet(edit);
            edit->setText(shown);
        }
    };
    const auto showChecked = [](QAbstractButton* button, bool on) {
        if (button->isChecked() != on) {
            const QSignalBlocker quiet(button);
            button->setChecked(on);
        }
    };
    showText(eCardLabel, markers.labelText);
    showText(eBootLabel, markers.bootText);
    showText(eScript, markers.scriptText);
    showChecked(cbCardLabel, markers.labelChecked);
    showChecked(cbBootLabel, markers.bootChecked);
    showChecked(cbScript, markers.scriptChecked);
    showChecked(sbCHDK, markers.chdkDown);
    showChecked(sbML, markers.mlDown);
    const core::BootRecord& b = markers.boot;
    lVol->setText(QString::fromStdString(core::OffsetCaption(b.LabelPos)));
    lBoot->setText(QString::fromStdString(core::OffsetCaption(b.BootPos)));
    lScript->setText(QString::fromStdString(core::OffsetCaption(b.ScriptPos)));
    if (markers.showMlGroup) {
        const bool show = *markers.showMlGroup;
        markers.showMlGroup.reset();
        ShowHideML(show);
    }
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
    core::MarkerControls(markers).Unload();
    lVol->clear();
    lBoot->clear();
    lScript->clear();
    if (cbDrives->count() == 0) {
        loading_ = false;
        return;
    }

    const std::string entry = cbDrives->currentText().toStdString();
    DriveName = core::EntryVolumeName(entry);
    ShowFileSystem(core::LayoutNone);
    const cardops::CardLoad load = cardops::LoadCard(platform::Cards(), DriveName);
    const platform::Volume& volume = load.volume;
    const bool loaded = load.ok();
    if (loaded) {
        loadedRegion_ = load.region;
    } else {
        // The status text, and the cause behind it where the pointer rests.
        erslog(QString::fromStdString(load.error));
        StatusBar->setToolTip(QString::fromStdString(load.Message()));
    }

    if (loaded) {
        slogR();
        log(QString::fromStdString(volume.fsName) + QStringLiteral(" VBR loaded"));
        const int layout = load.layoutIndex;
        core::MarkerControls(markers).Load(load.region, layout);
        if (layout != core::LayoutNone) {
            ShowFileSystem(layout);
            bSave->setEnabled(true);
            DriveIdentity = volume.identity;
            eCardLabel->setEnabled(true);
            eBootLabel->setEnabled(true);
            cbCardLabel->setEnabled(true);
            cbBootLabel->setEnabled(true);
            if (layout != core::LayoutExFat) {
                cbScript->setEnabled(true);
                sbCHDK->setEnabled(true);
            }
            if (layout == core::LayoutFat32)
                eScript->setEnabled(true);
        }
    }
    ShowMarkers();

    CardRoot = volume.mountPoint;
    RefreshContentLabels();
    loading_ = false;
    markersChanged = false;
    ShowRecovery(recovered);
}

// ------------------------------------------------- check boxes and edits
// Each handler runs the marker rule for its control, then shows the state.

void TfMain::cbCardLabelClick()
{
    core::MarkerControls(markers).SetLabelChecked(cbCardLabel->isChecked());
    ShowMarkers();
}

void TfMain::cbBootLabelClick()
{
    core::MarkerControls(markers).SetBootChecked(cbBootLabel->isChecked());
    ShowMarkers();
}

void TfMain::cbScriptClick()
{
    core::MarkerControls(markers).SetScriptChecked(cbScript->isChecked());
    ShowMarkers();
}

void TfMain::eCardLabelChange()
{
    core::MarkerControls(markers).SetLabelText(Bytes(eCardLabel->text()));
    ShowMarkers();
}

void TfMain::eBootLabelChange()
{
    core::MarkerControls(markers).SetBootText(Bytes(eBootLabel->text()));
    ShowMarkers();
}

void TfMain::eScriptChange()
{
    core::MarkerControls(markers).SetScriptText(Bytes(eScript->text()));
    ShowMarkers();
}

// ---------------------------------------------------------------- presets

void TfMain::sbCHDKClick()
{
    // The click has flipped the button already; the rule flips its own copy.
    core::MarkerControls(markers).ClickChdk();
    ShowMarkers();
}

void TfMain::sbMLClick()
{
    core::MarkerControls(markers).ClickMl();
    ShowMarkers();
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
    request.layoutIndex = markers.layoutIndex;
    request.loaded = loadedRegion_;
    // The place pair is applied to what is written, not to the buffer the
    // controls show.
    request.edited = core::RegionToWrite(markers).VBR;
    request.workFolder = WorkFolder;
    if (PrepareFileWork(&request))
        RunSave(request, false);
    LockForSave(false);
    saving = false;
}
