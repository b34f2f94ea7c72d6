// The card list, what the selected card holds, and device arrivals.
#include "core/cardcontent.h"
#include "core/driveentry.h"
#include "core/fileinfo.h"
#include "core/fileutil.h"
#include "core/textutil.h"
#include "platform/cardaccess.h"
#include "ui/buttonart.h"
#include "ui/tfmain.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QTimer>

namespace {

// The entries of the cards that can be listed now, in list order.
std::vector<platform::Volume> CardVolumes()
{
    std::vector<platform::Volume> cards;
    for (const platform::Volume& volume : platform::Cards().ListVolumes())
        // "?": a card this user may see but not open; it is listed so that
        // choosing it tells why it cannot be read.
        if (core::IsCardFileSystem(volume.fsName) || volume.fsName == "?")
            cards.push_back(volume);
    return cards;
}

QString EntryOf(const platform::Volume& volume)
{
    return QString::fromStdString(core::EntryText(volume.name, volume.label, volume.fsName, volume.sizeBytes));
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

    for (const platform::Volume& volume : CardVolumes()) {
        ++count;
        cbDrives->addItem(EntryOf(volume));
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

void TfMain::RefreshKeepingCard()
{
    platform::Volume loaded;
    const bool present = !DriveName.empty() && !DriveIdentity.empty() &&
                         platform::Cards().FindVolume(DriveName, &loaded) && loaded.identity == DriveIdentity;
    if (!present) {
        // The loaded card is gone: choose again, as at start-up.
        bRefreshClick();
        return;
    }
    const std::vector<platform::Volume> volumes = CardVolumes();
    {
        // The list follows the cards; the loaded card is not loaded again.
        const QSignalBlocker quiet(cbDrives);
        cbDrives->clear();
        int selected = -1;
        bool chdk = false;
        for (const platform::Volume& volume : volumes) {
            if (volume.name == loaded.name)
                selected = cbDrives->count();
            cbDrives->addItem(EntryOf(volume));
            chdk = chdk || volume.fsName != "exFAT";
        }
        cbDrives->setCurrentIndex(selected);
        cbDrives->setEnabled(cbDrives->count() > 1);
        sbML->setEnabled(!volumes.empty());
        sbCHDK->setEnabled(chdk && loaded.fsName != "exFAT");
    }
    slog(QStringLiteral("Drive: %1").arg(volumes.size()), 0);
    if (CardRoot != loaded.mountPoint) {
        CardRoot = loaded.mountPoint;
        RefreshContentLabels();
    }
}

void TfMain::RefreshContentLabels()
{
    const core::CardContent content = core::ReadCardContent(CardRoot);
    const auto okText = [](bool ok) { return ok ? QStringLiteral("OK") : QStringLiteral("-"); };
    lAutoexecOK->setText(okText(content.autoexec));
    lAutoexecOK->setToolTip(QString::fromStdString(content.autoexecInfo));
    lDiskBootOK->setText(okText(content.diskboot));
    lMLdirOK->setText(okText(content.ml));
    lCHDKOK->setText(okText(content.chdk));
    lDCIMsize->setText(okText(content.dcim));
    lfirName->setText(QString::fromStdString(content.FirText()));
    QStringList names;
    if (content.firs.size() > 1)
        for (const std::string& name : content.firs)
            names << QString::fromStdString(name);
    lfirName->setToolTip(names.join(QLatin1Char('\r')));
    RefreshCameraLabel();
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

bool TfMain::CardListChanged() const
{
    const std::vector<platform::Volume> cards = CardVolumes();
    if (static_cast<int>(cards.size()) != cbDrives->count())
        return true;
    for (size_t i = 0; i < cards.size(); ++i)
        if (EntryOf(cards[i]) != cbDrives->itemText(static_cast<int>(i)))
            return true;
    return false;
}
