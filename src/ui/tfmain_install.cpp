// The window's side of saving a card: what file work a Save does, waiting for
// the build, showing progress and outcome, and restoring a backup. The rules
// themselves live in cardops.
#include "cardops/buildfiles.h"
#include "cardops/recovery.h"
#include "config/appconfig.h"
#include "core/fileutil.h"
#include "core/printable.h"
#include "platform/cardaccess.h"
#include "ui/messagebox.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"
#include "zip/zipread.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <filesystem>

namespace fs = std::filesystem;

QString TfMain::ArchivePath() const
{
    return QString::fromStdString(WorkFolder) + lZIPname->text();
}

void TfMain::WaitForArchiveFetch()
{
    if (!ArchiveFetchPending())
        return;
    // The archive is still queued or arriving: let the queue's and the
    // getter's events run until its fetch has ended, done or failed.
    log(QStringLiteral("Waiting for the download to finish..."));
    QEventLoop wait;
    QTimer poll;
    poll.setInterval(20);
    connect(&poll, &QTimer::timeout, &wait, [&] {
        if (!ArchiveFetchPending())
            wait.quit();
    });
    poll.start();
    wait.exec();
}

bool TfMain::PrepareFileWork(cardops::SaveRequest* request)
{
    const bool bootSet = cbBootLabel->isChecked();
    const bool labelSet = cbCardLabel->isChecked();
    const bool fileWorkPossible = bootSet == labelSet;
    if (fileWorkPossible && CardRoot.empty()) {
        // Its files are needed: a backend that can mount the card does so.
        std::string root;
        if (platform::Cards().Mount(DriveName, &root).ok())
            CardRoot = root;
    }
    const bool startFile = !CardRoot.empty() && core::FileExistsNoCase(CardRoot, "autoexec.bin");
    request->files = cardops::DecideFileWork(bootSet, labelSet, startFile);
    const QString card = QString::fromStdString(DriveName);

    if (request->files == cardops::FileWork::Install) {
        ShowHideML(true);
        const bool buildChosen = rbDevelop->isChecked() || rbNightly->isChecked();
        if (buildChosen)
            WaitForArchiveFetch();
        const QString archive = ArchivePath();
        std::error_code ec;
        // A hidden name is a download that failed: an older file of that name
        // may still be there, and it is not the chosen build.
        const bool ready = buildChosen && !lZIPname->text().isEmpty() && !lZIPname->isHidden() &&
                           fs::is_regular_file(archive.toStdString(), ec);
        if (!ready) {
            if (CardRoot.empty()) {
                // Save reports that the card is not mounted.
                return true;
            }
            if (ShowMessage(this, QMessageBox::Question, windowTitle(),
                            QStringLiteral("%1 holds no autoexec.bin and no Magic Lantern build is ready to install.\n"
                                           "The camera will not start Magic Lantern from this card until a build is "
                                           "on it.\n\nWrite the markers anyway?")
                                .arg(card),
                            QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
                log(QStringLiteral("Nothing was written."));
                return false;
            }
            request->files = cardops::FileWork::None;
            return true;
        }
        QString why;
        if (!CheckArchiveDigest(archive, &why)) {
            lML->setText(QStringLiteral("Build rejected"));
            ShowSaveError(
                QStringLiteral("Magic Lantern was not installed on %1: %2. Nothing was written.").arg(card, why));
            return false;
        }
        if (!ConfirmBuildForCamera())
            return false;
        request->archive = archive.toStdString();
        request->skipFirmware = rbDevelop->isChecked();
        return true;
    }
    if (request->files == cardops::FileWork::Remove) {
        if (ShowMessage(this, QMessageBox::Question, QStringLiteral("Confirm"),
                        QStringLiteral("Do you want to remove ML files from the card?"),
                        QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
            request->files = cardops::FileWork::None;
        else
            log(QStringLiteral("Deleting ML files..."));
    }
    return true;
}

void TfMain::ShowSaveError(const QString& text)
{
    erslog(text);
    StatusBar->setToolTip(text);
    ShowMessage(this, QMessageBox::Critical, windowTitle(), text);
}

bool TfMain::RunSave(const cardops::SaveRequest& request, bool restore)
{
    const bool installing = request.files == cardops::FileWork::Install;
    int shown = 0;
    cardops::SaveHooks hooks;
    hooks.progress = [&](int percent, const std::string& entry) { ShowUnpacking(percent, entry, &shown); };
    hooks.log = [&](const std::string& text) { log(QString::fromStdString(text)); };
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const cardops::SaveResult result = cardops::Save(platform::Cards(), request, hooks);
    QApplication::restoreOverrideCursor();
    ProgressBar->hide();

    if (result.unmounted)
        CardRoot = result.mountPoint;
    // One look at the card's files (and its photos) after any change.
    if (result.filesChanged || result.ok)
        RefreshContentLabels();
    QString notes;
    for (const std::string& note : result.notes)
        notes += QLatin1Char(' ') + QString::fromStdString(note);
    if (!result.ok)
        ShowSaveError(QString::fromStdString(result.error) + notes);
    // Set after any message box: events that ran meanwhile must not hide
    // the outcome of the install.
    if (installing)
        lML->setText(result.installed      ? QStringLiteral("ML succesfully installed")
                     : result.filesChanged ? QStringLiteral("Error in unzipping")
                                           : QStringLiteral("ML not installed"));
    if (!result.ok)
        return false;
    // The buffer holds what was written (place pair applied, sealed), and it
    // is the base of the next Save.
    markers.boot.VBR = result.written;
    loadedRegion_ = result.written;
    markersChanged = false;
    log(QStringLiteral("Write succesful"));
    QString whole =
        restore ? QStringLiteral("Boot record restored. Write succesful.") : QStringLiteral("Write succesful.");
    if (result.unmounted && !result.remounted) {
        // Its driver would have written its own copy of the boot sector back.
        slog(QStringLiteral("Card unmounted"), 2);
        whole += QStringLiteral(" The card was unmounted so that its boot record could be written safely; you may "
                                "mount it again.");
    }
    StatusBar->setToolTip(whole + notes);
    return true;
}

void TfMain::RecoverCards()
{
    std::vector<std::string> messages;
    bool loadedChanged = false;
    for (const cardops::RecoveryReport& report : cardops::RecoverAll(platform::Cards(), WorkFolder)) {
        messages.push_back(report.message);
        loadedChanged = loadedChanged || (report.changed && report.name == DriveName);
    }
    if (loadedChanged)
        cbDrivesChange();  // the controls show what the card holds now
    ShowRecovery(messages);
}

std::vector<std::string> TfMain::RecoverCard(const std::string& name)
{
    const cardops::RecoveryReport report = cardops::Recover(platform::Cards(), WorkFolder, name);
    return report.found ? std::vector<std::string>{report.message} : std::vector<std::string>();
}

void TfMain::ShowRecovery(const std::vector<std::string>& messages)
{
    if (messages.empty())
        return;
    QString text;
    for (const std::string& message : messages)
        text += (text.isEmpty() ? QString() : QStringLiteral(" ")) + QString::fromStdString(message);
    log(text);
    StatusBar->setToolTip(text);
}

void TfMain::ShowUnpacking(int percent, const std::string& entry, int* shown)
{
    if (!ProgressBar->isVisible())
        ProgressBar->show();
    ProgressBar->setValue(percent);
    // Every ninth entry is named, so the label does not slow the unpacking.
    if (!entry.empty() && (*shown)++ % 9 == 0) {
        lML->setText(QStringLiteral("Extracting... (") + QString::fromStdString(core::Printable(entry)) +
                     QLatin1Char(')'));
        lML->repaint();
    }
}

// ----------------------------------------------------------------- restore

bool TfMain::LoadedCardBackups(platform::Volume* volume, std::vector<cardops::BackupInfo>* backups)
{
    if (saving || DriveIdentity.empty() || !platform::Cards().FindVolume(DriveName, volume))
        return false;
    *backups = cardops::ListBackups(WorkFolder, *volume, loadedRegion_);
    return true;
}

void TfMain::bSaveContextMenu(const QPoint& at)
{
    platform::Volume volume;
    std::vector<cardops::BackupInfo> backups;
    if (!LoadedCardBackups(&volume, &backups))
        return;
    QMenu menu(this);
    QAction* restore = menu.addAction(backups.empty() ? QStringLiteral("No backup of this card's boot record")
                                                      : QStringLiteral("Restore the boot record of ") +
                                                            QString::fromStdString(backups.back().time));
    restore->setEnabled(!backups.empty());
    if (menu.exec(bSave->mapToGlobal(at)) == restore)
        RestoreLatestBackup();
}

void TfMain::RestoreLatestBackup()
{
    platform::Volume volume;
    std::vector<cardops::BackupInfo> backups;
    if (!LoadedCardBackups(&volume, &backups))
        return;
    if (backups.empty()) {
        erslog(QStringLiteral("No backup of the boot record of %1").arg(QString::fromStdString(DriveName)));
        return;
    }
    const cardops::BackupInfo& latest = backups.back();
    if (ShowMessage(this, QMessageBox::Question, windowTitle(),
                    QStringLiteral("Restore the boot record of %1 (%2) as it was on %3?")
                        .arg(QString::fromStdString(DriveName), QString::fromStdString(volume.label),
                             QString::fromStdString(latest.time)),
                    QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    cardops::Region region{};
    std::string why;
    if (!cardops::ReadBackup(latest.path, &region, &why)) {
        ShowSaveError(QString::fromStdString(why));
        return;
    }
    saving = true;
    LockForSave(true);
    cardops::SaveRequest request;
    bool restored = false;
    if (!cardops::MakeRestoreRequest(platform::Cards(), DriveName, DriveIdentity, markers.layoutIndex, region,
                                     WorkFolder, &request, &why))
        ShowSaveError(QStringLiteral("Write failed. ") + QString::fromStdString(why));
    else
        restored = RunSave(request, true);
    LockForSave(false);
    saving = false;
    if (restored) {
        cbDrivesChange();  // the controls show what the card now holds
        log(QStringLiteral("Write succesful"));
    }
}
