// The window's side of saving a card: what file work a Save does, waiting for
// the build, showing progress and outcome, and restoring a backup. The rules
// themselves live in cardops.
#include "cardops/buildfiles.h"
#include "core/fileutil.h"
#include "platform/cardaccess.h"
#include "ui/appconfig.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"
#include "zip/zipread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
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
        const bool ready = buildChosen && !lZIPname->text().isEmpty() && fs::is_regular_file(archive.toStdString(), ec);
        if (!ready) {
            if (CardRoot.empty()) {
                // Save reports that the card is not mounted.
                return true;
            }
            QMessageBox ask(QMessageBox::Question, windowTitle(),
                            QStringLiteral("%1 holds no autoexec.bin and no Magic Lantern build is ready to install.\n"
                                           "The camera will not start Magic Lantern from this card until a build is "
                                           "on it.\n\nWrite the markers anyway?")
                                .arg(card),
                            QMessageBox::Yes | QMessageBox::No, this);
            if (ask.exec() != QMessageBox::Yes) {
                log(QStringLiteral("Nothing was written."));
                return false;
            }
            request->files = cardops::FileWork::None;
            return true;
        }
        QString why;
        if (!CheckArchiveDigest(archive, &why)) {
            lML->setText(QStringLiteral("Build rejected"));
            ShowSaveError(QStringLiteral("Magic Lantern was not installed on %1: %2. Nothing was written.").arg(card, why));
            return false;
        }
        request->archive = archive.toStdString();
        request->skipFirmware = rbDevelop->isChecked();
        return true;
    }
    if (request->files == cardops::FileWork::Remove) {
        QMessageBox ask(QMessageBox::Question, QStringLiteral("Confirm"),
                        QStringLiteral("Do you want to remove ML files from the card?"),
                        QMessageBox::Yes | QMessageBox::No, this);
        if (ask.exec() != QMessageBox::Yes)
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
    QMessageBox box(QMessageBox::Critical, windowTitle(), text, QMessageBox::Ok, this);
    box.exec();
}

void TfMain::RunSave(const cardops::SaveRequest& request, bool restore)
{
    const bool installing = request.files == cardops::FileWork::Install;
    int shown = 0;
    cardops::SaveHooks hooks;
    hooks.progress = [&](int percent, const std::string& entry) {
        if (!ProgressBar->isVisible())
            ProgressBar->show();
        ProgressBar->setValue(percent);
        if (!entry.empty() && shown++ % 9 == 0) {
            lML->setText(QStringLiteral("Extracting... (") + QString::fromStdString(entry) + QLatin1Char(')'));
            lML->repaint();
        }
    };
    hooks.log = [&](const std::string& text) {
        if (text == "ML succesfully installed")
            lML->setText(QString::fromStdString(text));
        else
            log(QString::fromStdString(text));
    };
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const cardops::SaveResult result = cardops::Save(platform::Cards(), request, hooks);
    QApplication::restoreOverrideCursor();
    ProgressBar->hide();

    if (result.unmounted)
        CardRoot.clear();
    if (result.filesChanged)
        RefreshContentLabels();
    if (installing && !result.installed)
        lML->setText(result.filesChanged ? QStringLiteral("Error in unzipping") : QStringLiteral("ML not installed"));

    if (!result.ok) {
        ShowSaveError(QString::fromStdString(result.error));
        return;
    }
    RefreshContentLabels();
    // What the card now holds is the base of the next Save.
    std::copy(request.edited.begin(), request.edited.end(), loadedRegion_.begin());
    markersChanged = false;
    QString done = restore ? QStringLiteral("Boot record restored. Write succesful") : QStringLiteral("Write succesful");
    if (result.unmounted)
        done += QStringLiteral(" (the card was unmounted so its boot record could be written safely)");
    log(done);
    StatusBar->setToolTip(done);
}

bool TfMain::unzipML(const QString& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path.toStdString(), ec))
        return true;
    try {
        TZipRead probe(path.toStdString());
    } catch (const std::exception& error) {
        QMessageBox::critical(this, windowTitle(), QString::fromUtf8(error.what()));
        return false;
    }
    ProgressBar->show();
    int shown = 0;
    const cardops::InstallOutcome outcome = cardops::InstallBuild(
        path.toStdString(), CardRoot, rbDevelop->isChecked(),
        [&](int percent, const std::string& entry) {
            ProgressBar->setValue(percent);
            if (!entry.empty() && shown++ % 9 == 0) {
                lML->setText(QStringLiteral("Extracting... (") + QString::fromStdString(entry) + QLatin1Char(')'));
                lML->repaint();
            }
        },
        {});
    ProgressBar->hide();
    if (!outcome.ok) {
        // A part of a build is worse than none: what was written goes again.
        cardops::RollBack(outcome.written, outcome.madeFolders);
        lML->setText(QStringLiteral("Error in unzipping"));
        QMessageBox::critical(this, windowTitle(), QString::fromStdString(outcome.error));
        return false;
    }
    lML->setText(QStringLiteral("ML succesfully installed"));
    return true;
}

// ----------------------------------------------------------------- restore

void TfMain::bSaveContextMenu(const QPoint& at)
{
    if (saving || DriveIdentity.empty())
        return;
    platform::Volume volume;
    if (!platform::Cards().FindVolume(DriveName, &volume))
        return;
    const auto backups = cardops::ListBackups(WorkFolder, volume, loadedRegion_);
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
    if (saving || DriveIdentity.empty())
        return;
    platform::Volume volume;
    if (!platform::Cards().FindVolume(DriveName, &volume))
        return;
    const auto backups = cardops::ListBackups(WorkFolder, volume, loadedRegion_);
    if (backups.empty()) {
        erslog(QStringLiteral("No backup of the boot record of %1").arg(QString::fromStdString(DriveName)));
        return;
    }
    const cardops::BackupInfo& latest = backups.back();
    QMessageBox ask(QMessageBox::Question, windowTitle(),
                    QStringLiteral("Restore the boot record of %1 (%2) as it was on %3?")
                        .arg(QString::fromStdString(DriveName), QString::fromStdString(volume.label),
                             QString::fromStdString(latest.time)),
                    QMessageBox::Yes | QMessageBox::No, this);
    if (ask.exec() != QMessageBox::Yes)
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
    if (!cardops::MakeRestoreRequest(platform::Cards(), DriveName, DriveIdentity, fileSystemIndex, region, WorkFolder,
                                     &request, &why))
        ShowSaveError(QString::fromStdString(why));
    else
        RunSave(request, true);
    LockForSave(false);
    saving = false;
    cbDrivesChange();  // the controls show what the card now holds
}
