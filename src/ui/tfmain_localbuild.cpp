// Builds from an archive the user already has: --build FILE.zip or a drop on
// the window, and the context menu that reloads the build lists.
#include "buildsource/buildsource.h"
#include "core/fetchqueue.h"
#include "core/printable.h"
#include "ui/tfmain.h"

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
    if (queue.Holds(core::FetchKind::DevelopBuild) || queue.Holds(core::FetchKind::LegacyBuild))
        return refuse(QStringLiteral("a build download is running"));
    ProgressBar->setValue(0);
    ProgressBar->show();
    std::string target, why;
    const bool kept = buildsource::KeepLocalBuild(WorkFolder, info.absoluteFilePath().toStdString(), &target, &why,
                                                  [this](int percent) { ProgressBar->setValue(percent); });
    ProgressBar->hide();
    if (!kept)
        return refuse(QString::fromStdString(why));

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
