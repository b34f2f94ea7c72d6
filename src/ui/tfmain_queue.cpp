// The fetch queue: one fetch at a time, catalogues and build archives.
#include "buildsource/buildsource.h"
#include "core/catalogue.h"
#include "core/fetchqueue.h"
#include "core/printable.h"
#include "core/textutil.h"
#include "net/httpget.h"
#include "net/httpsclient.h"
#include "ui/tfmain.h"

#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <QUrl>

#include <filesystem>

namespace fs = std::filesystem;

namespace {
// Web addresses in any letter case: http and https alike go to the getter.
bool IsWebAddress(const std::string& url)
{
    const std::string scheme = core::LowerAscii(url.substr(0, 8));
    return core::StartsWith(scheme, "http://") || core::StartsWith(scheme, "https://");
}

// The host (and port, when the address names one) a failure is told with;
// the address comes from a catalogue, so what does not print is escaped.
QString HostOf(const std::string& address)
{
    const QUrl url(QString::fromStdString(address));
    if (url.host().isEmpty())
        return QString::fromStdString(core::Printable(address));
    const QString host = QString::fromStdString(core::Printable(url.host().toStdString()));
    return url.port() >= 0 ? host + QLatin1Char(':') + QString::number(url.port()) : host;
}
}  // namespace

void TfMain::ExtractDLLs()
{
    // TLS comes from the system's OpenSSL through libcurl; nothing is written
    // next to the program. Without it, HTTPS downloads cannot work.
    if (!TlsAvailable()) {
        erslog(QStringLiteral("Cannot create libeay32.dll"));
        erslog(QStringLiteral("Cannot create ssleay32.dll"));
    }
}

void TfMain::InsHTMLque(const core::THTMLQueue& request)
{
    queue.Insert(request);
    slog(QStringLiteral("Q: %1").arg(queue.Count()), 1);
    ExecHTMLque();
}

void TfMain::ExecHTMLque()
{
    const core::THTMLQueue* started = queue.StartHead();
    if (started) {
        const core::THTMLQueue head = *started;  // the queue may change below
        HTTP->URL = QString::fromStdString(head.url);
        if (!head.statusText.empty()) {
            lML->setText(QString::fromStdString(core::Printable(head.statusText)));
            lML->repaint();
        }
        HTTP->FileName = QString::fromStdString(head.localFile);
        HTTP->ExpectedSha256 = QString::fromStdString(head.sha256);
        // A catalogue is a few kilobytes, an archive a few megabytes: each
        // fetch is held to its kind's limits.
        const bool catalogue =
            head.kind == core::FetchKind::DevelopCatalogue || head.kind == core::FetchKind::LegacyCatalogue;
        HTTP->Limits = catalogue ? flintor::net::kCatalogueLimits : flintor::net::kArchiveLimits;
        if (!IsWebAddress(head.url)) {
            // Only web addresses are fetched; anything else a catalogue names
            // (file:, ftp:, ...) fails like an unreachable server.
            failureCause_ = QStringLiteral("not a web address");
            HTTPError(HTTP);
        } else {
            HTTP->BinaryData = head.binary;
            HTTP->PostQuery.clear();
            HTTP->FetchFile();
            ProgressBar->show();
        }
    }
    slog(QStringLiteral("Q: %1").arg(queue.Count()), 1);
}

void TfMain::DelHTMLque()
{
    queue.RemoveHead();
    slog(QStringLiteral("Q: %1").arg(queue.Count()), 1);
}

void TfMain::tHTMLQueueTimer()
{
    tHTMLqueue->stop();
    DelHTMLque();
    ExecHTMLque();
    slog(QStringLiteral("Q: %1").arg(queue.Count()), 1);
}

void TfMain::EnableBuildChoice()
{
    // Each source can be chosen when its list has entries; the list of the
    // checked source is open.
    rbDevelop->setEnabled(cbDevelop->count() > 0);
    rbNightly->setEnabled(cbNightly->count() > 0);
    cbDevelop->setEnabled(rbDevelop->isEnabled() && rbDevelop->isChecked());
    cbNightly->setEnabled(rbNightly->isEnabled() && rbNightly->isChecked());
}

void TfMain::HTTPProgress(QObject*, int totalSize, int received)
{
    const core::FetchKind kind = queue.ActiveKind();
    if (kind == core::FetchKind::None || totalSize <= 0)
        return;
    const int position = core::ProgressPercent(received, totalSize);
    ProgressBar->setValue(position);
    ProgressBar->setVisible(position < 100);
    if (totalSize > 1000000) {
        const QString size = QLocale().toString(core::DownloadedMegabytes(received), 'f', 1);
        lML->setText(QStringLiteral("Downloading (") + size + QStringLiteral(" MB)"));
    }
}

bool TfMain::LoadCachedCatalogue(bool develop)
{
    std::vector<core::TPorts> builds;
    if (!buildsource::CachedCatalogue(WorkFolder, CatalogueOf(develop), &builds))
        return false;
    ShowCatalogue(develop, std::move(builds));
    return true;
}

void TfMain::HTTPDoneFile(QObject*, const QString& fileName, int)
{
    ProgressBar->hide();
    const core::FetchKind kind = queue.ActiveKind();
    if (kind == core::FetchKind::DevelopCatalogue || kind == core::FetchKind::LegacyCatalogue) {
        CatalogueDone(kind == core::FetchKind::DevelopCatalogue, fileName);
    } else if (kind == core::FetchKind::DevelopBuild || kind == core::FetchKind::LegacyBuild) {
        rbDevelop->setEnabled(cbDevelop->count() > 0);
        rbNightly->setEnabled(cbNightly->count() > 0);
        if (kind == core::FetchKind::DevelopBuild)
            cbNightly->setEnabled(rbNightly->isEnabled() && rbNightly->isChecked());
        lZIPname->show();
        lML->setText(QStringLiteral("ZIP file ready to install"));
        slogR();
    }
    queue.FinishActive();
    tHTMLqueue->start();
}

void TfMain::HTTPDoneString(QObject*, const QByteArray&)
{
    queue.FinishActive();
    tHTMLqueue->start();
}

void TfMain::CatalogueDone(bool develop, const QString& fileName)
{
    std::vector<core::TPorts> builds;
    std::string cause;
    if (!buildsource::AcceptFetchedCatalogue(WorkFolder, CatalogueOf(develop), fileName.toStdString(), &builds,
                                             &cause)) {
        // Something answered, but not with a catalogue (nothing, an error or
        // portal page): a failed fetch; the cached catalogue stays.
        CatalogueFailed(develop, QString::fromStdString(cause));
        return;
    }
    ShowCatalogue(develop, std::move(builds));
    lML->clear();
}

void TfMain::CatalogueFailed(bool develop, const QString& cause)
{
    if (LoadCachedCatalogue(develop)) {
        ProgressBar->hide();
        (develop ? rbDevelop : rbNightly)->setEnabled(true);
    }
    lML->setText(QStringLiteral("Network error."));
    const std::string url = queue.Empty() ? std::string() : queue.Head().url;
    erslog(lML->text() + QLatin1Char(' ') + HostOf(url) + QStringLiteral(": ") + cause);
}

void TfMain::BuildDownloadFailed(const QString& message)
{
    // The group tells the outcome too: the archive is not ready, and the
    // label no longer claims a download is running.
    lZIPname->hide();
    lML->setText(QStringLiteral("Download failed."));
    erslog(message);
}

void TfMain::HTTPError(QObject*)
{
    ProgressBar->hide();
    // The getter's words may carry what a server sent (a host name from a redirect).
    QString cause = failureCause_.isEmpty() ? QString::fromStdString(core::Printable(HTTP->ErrorText().toStdString()))
                                            : failureCause_;
    failureCause_.clear();
    if (cause.isEmpty())
        cause = QStringLiteral("failed");
    const core::FetchKind kind = queue.ActiveKind();
    if (kind == core::FetchKind::DevelopCatalogue || kind == core::FetchKind::LegacyCatalogue) {
        CatalogueFailed(kind == core::FetchKind::DevelopCatalogue, cause);
    } else if (kind == core::FetchKind::DevelopBuild || kind == core::FetchKind::LegacyBuild) {
        // The other source was switched off while the download ran; give it
        // back so the user can choose again.
        EnableBuildChoice();
        const std::string url = queue.Empty() ? std::string() : queue.Head().url;
        BuildDownloadFailed(QStringLiteral("Download failed. ") + HostOf(url) + QStringLiteral(": ") + cause);
    }
    queue.FinishActive();
    tHTMLqueue->start();
}

bool TfMain::ArchiveFetchPending() const
{
    return queue.Holds(core::FetchKind::DevelopBuild) || queue.Holds(core::FetchKind::LegacyBuild);
}
