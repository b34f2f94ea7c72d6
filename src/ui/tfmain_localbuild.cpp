// Builds from an archive the user already has: --build FILE.zip or a drop on
// the window, and the context menu that reloads the build lists.
#include "core/fetchqueue.h"
#include "core/printable.h"
#include "ui/tfmain.h"
#include "zip/buildcheck.h"

#include <QAction>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The one local .zip file a drag carries, or "" when it carries anything else.
QString DroppedArchive(const QMimeData* mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1)
        return {};
    const QUrl url = mime->urls().constFirst();
    if (!url.isLocalFile())
        return {};
    const QString path = url.toLocalFile();
    return path.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) ? path : QString();
}

}  // namespace

void TfMain::ConnectBuildSources()
{
    if (buildSourcesConnected_)
        return;
    buildSourcesConnected_ = true;
    setAcceptDrops(true);
    auto* reload = new QAction(QStringLiteral("Reload build lists"), bRefresh);
    reload->setObjectName(QStringLiteral("aReloadBuildLists"));
    bRefresh->addAction(reload);
    bRefresh->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(reload, &QAction::triggered, this, [this] { RetryCatalogues(); });
}

void TfMain::dragEnterEvent(QDragEnterEvent* event)
{
    if (!saving && !DroppedArchive(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TfMain::dropEvent(QDropEvent* event)
{
    const QString path = DroppedArchive(event->mimeData());
    if (path.isEmpty() || saving) {  // the build stays as it is during a Save
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    UseLocalBuild(path);
}

bool TfMain::UseLocalBuild(const QString& path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const auto refuse = [this, &name](const QString& cause) {
        erslog(QStringLiteral("Not an installable build: ") + name + QStringLiteral(": ") + cause);
        return false;
    };
    if (saving)
        return refuse(QStringLiteral("the card is being saved"));
    if (WorkFolder.empty())
        return refuse(QStringLiteral("no work folder"));
    if (!info.isFile())
        return refuse(QStringLiteral("no such file"));
    // Only archives: any other name could replace a catalogue or a partial
    // download in the work folder.
    if (!name.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive) || name.size() <= 4)
        return refuse(QStringLiteral("not a .zip file"));
    if (queue.Holds(core::KindDevelopBuild) || queue.Holds(core::KindLegacyBuild))
        return refuse(QStringLiteral("a build download is running"));

    const std::string target = WorkFolder + name.toStdString();
    const std::string part = target + ".part";
    std::error_code ec;
    const bool inPlace = fs::exists(target, ec) && fs::equivalent(info.absoluteFilePath().toStdString(), target, ec);
    // The copy is checked, not the original, so what is installed is what
    // passed; it takes the archive's name only when it passed.
    const std::string checked = inPlace ? target : part;
    if (!inPlace) {
        fs::remove(part, ec);
        fs::copy_file(info.absoluteFilePath().toStdString(), part, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            fs::remove(part, ec);
            return refuse(QStringLiteral("cannot copy it into the work folder"));
        }
    }
    ProgressBar->setValue(0);
    ProgressBar->show();
    const BuildCheckResult check =
        CheckBuildArchiveFile(checked, [this](int percent) { ProgressBar->setValue(percent); });
    ProgressBar->hide();
    if (!check.ok) {
        if (!inPlace)
            fs::remove(part, ec);
        QString cause = QString::fromStdString(check.reason);
        if (!check.entry.empty())
            cause += QStringLiteral(" (") + QString::fromStdString(core::Printable(check.entry)) + QLatin1Char(')');
        return refuse(cause.isEmpty() ? QStringLiteral("not a build archive") : cause);
    }
    if (!inPlace) {
        fs::rename(part, target, ec);
        if (ec) {
            fs::remove(part, ec);
            return refuse(QStringLiteral("cannot copy it into the work folder"));
        }
    }

    localBuildFile_ = target;
    chosenSha256_.clear();
    lZIPname->setText(name);
    lZIPname->show();
    lML->setText(QStringLiteral("Local build ready to install"));
    lML->repaint();
    // The lists stay open: choosing a listed build switches back to it.
    EnableBuildChoice();
    slogR();
    log(QStringLiteral("Local build chosen: ") + name);
    return true;
}

void TfMain::LeaveLocalBuild(const std::string& listedArchivePath)
{
    if (localBuildFile_.empty())
        return;
    if (listedArchivePath == localBuildFile_) {
        std::error_code ec;
        fs::remove(localBuildFile_, ec);
    }
    localBuildFile_.clear();
}
