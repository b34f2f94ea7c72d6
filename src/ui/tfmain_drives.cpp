// The card list, what the selected card holds, and device arrivals.
#include "core/driveentry.h"
#include "core/fileinfo.h"
#include "core/fileutil.h"
#include "core/textutil.h"
#include "platform/volumes.h"
#include "ui/buttonart.h"
#include "ui/tfmain.h"

#include <QComboBox>
#include <QLabel>
#include <QTimer>

#include <filesystem>

namespace {

// The entry of the card's root folder named like name without regard to
// letter case, found in a listing of the folder; empty when there is none.
// Never a lookup of the name as written: a file system in user space that
// matches names without case answers such a lookup too, and the kernel then
// keeps that spelling as a second, stale entry for the file (its old content,
// or a file that was deleted under its own spelling).
std::filesystem::path FindInRoot(const std::string& root, const std::string& name)
{
    namespace fs = std::filesystem;
    if (root.empty())
        return {};
    std::error_code ec;
    fs::directory_iterator it(root, ec);
    if (ec)
        return {};
    const std::string wanted = core::LowerAscii(name);
    for (const auto& entry : it) {
        if (core::LowerAscii(entry.path().filename().string()) == wanted)
            return entry.path();
    }
    return {};
}

bool IsFileInRoot(const std::string& root, const std::string& name)
{
    std::error_code ec;
    const std::filesystem::path path = FindInRoot(root, name);
    return !path.empty() && std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ec));
}

bool IsFolderInRoot(const std::string& root, const std::string& name)
{
    std::error_code ec;
    const std::filesystem::path path = FindInRoot(root, name);
    return !path.empty() && std::filesystem::is_directory(std::filesystem::symlink_status(path, ec));
}

}  // namespace

void TfMain::bRefreshClick()
{
    cbDrives->clear();
    int count = 0;
    slog(QStringLiteral("Loading..."), 2);
    log(QString());
    sbCHDK->setEnabled(false);
    sbML->setEnabled(false);

    for (const platform::Volume& volume : platform::ListRemovableVolumes()) {
        if (!core::IsCardFileSystem(volume.fsName))
            continue;
        ++count;
        cbDrives->addItem(
            QString::fromStdString(core::EntryText(volume.name, volume.label, volume.fsName, volume.sizeBytes)));
        if (volume.fsName != "exFAT")
            sbCHDK->setEnabled(true);
        sbML->setEnabled(true);
    }

    slog(QStringLiteral("Drive: %1").arg(count), 0);
    slogR();
    if (count == 0)
        log(QStringLiteral("No removable drive detected."));
    cbDrives->setEnabled(cbDrives->count() > 1);
    std::vector<std::string> entries;
    for (int i = 0; i < cbDrives->count(); ++i)
        entries.push_back(cbDrives->itemText(i).toStdString());
    cbDrives->setCurrentIndex(core::ChooseEntry(entries));
    cbDrivesChange();
    ShowHideML(sbML->isChecked() && sbML->isEnabled());
}

void TfMain::RefreshContentLabels()
{
    const std::string& root = CardRoot;
    const auto okText = [](bool ok) { return ok ? QStringLiteral("OK") : QStringLiteral("-"); };
    if (IsFileInRoot(root, "autoexec.bin")) {
        lAutoexecOK->setText(QStringLiteral("OK"));
        lAutoexecOK->setToolTip(QString::fromStdString(core::FileInfoText(FindInRoot(root, "autoexec.bin").string())));
    } else {
        lAutoexecOK->setText(QStringLiteral("-"));
        lAutoexecOK->setToolTip(QString());
    }
    lDiskBootOK->setText(okText(IsFileInRoot(root, "DISKBOOT.BIN")));
    lMLdirOK->setText(okText(IsFolderInRoot(root, "ML")));
    lCHDKOK->setText(okText(IsFolderInRoot(root, "CHDK")));
    lDCIMsize->setText(okText(IsFolderInRoot(root, "DCIM")));

    const std::vector<std::string> firs = root.empty() ? std::vector<std::string>() : core::ListFiles(root, "*.fir");
    if (firs.empty()) {
        lfirName->setText(QStringLiteral("-"));
        lfirName->setToolTip(QString());
    } else if (firs.size() == 1) {
        lfirName->setText(QString::fromStdString(firs[0]));
        lfirName->setToolTip(QString());
    } else {
        lfirName->setText(QStringLiteral("%1 fir files").arg(firs.size()));
        QStringList names;
        for (const std::string& name : firs)
            names << QString::fromStdString(name);
        lfirName->setToolTip(names.join(QLatin1Char('\r')));
    }
}

void TfMain::OnDeviceEvent(const QString& action, const QString& name)
{
    if (action == QLatin1String("add"))
        log(QStringLiteral("CD inserted!"));
    else if (action == QLatin1String("remove"))
        log(QStringLiteral("CD removed!"));
    Q_UNUSED(name);
    deviceRefresh_->start();
}
