// The fetch queue: one fetch at a time, catalogues and build archives.
#include "core/catalogue.h"
#include "core/digest.h"
#include "core/fetchqueue.h"
#include "core/fileutil.h"
#include "core/textutil.h"
#include "net/httpget.h"
#include "net/httpsclient.h"
#include "ui/tfmain.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {
// Web addresses in any letter case; an upper-case "HTTPS://" is not taken for
// the blocking HTTPS download and goes to the getter.
bool IsWebAddress(const std::string& url)
{
    const std::string scheme = core::LowerAscii(url.substr(0, 8));
    return core::StartsWith(scheme, "http://") || core::StartsWith(scheme, "https://");
}

// The host (and port, when the address names one) a failure is told with.
QString HostOf(const std::string& address)
{
    const QUrl url(QString::fromStdString(address));
    if (url.host().isEmpty())
        return QString::fromStdString(address);
    return url.port() >= 0 ? url.host() + QLatin1Char(':') + QString::number(url.port()) : url.host();
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
            lML->setText(QString::fromStdString(head.statusText));
            lML->repaint();
        }
        HTTP->FileName = QString::fromStdString(head.localFile);
        HTTP->ExpectedSha256 = QString::fromStdString(head.sha256);
        if (core::IsHttpsUrl(head.url)) {
            Download(QString::fromStdString(head.url), QString::fromStdString(head.localFile));
        } else if (!IsWebAddress(head.url)) {
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

bool TfMain::Download(const QString& url, const QString& fileName)
{
    bool ok = false;
    // The digest the archive must have, from the request that runs.
    const uint8_t kind = queue.ActiveKind();
    const std::string expected = kind != core::KindNone && !queue.Empty() ? queue.Head().sha256 : std::string();
    // Catalogues may come over HTTPS too (a mirror given as a base address).
    const bool catalogue = kind == core::KindDevelopCatalogue || kind == core::KindLegacyCatalogue;
    log(QStringLiteral("Downloading..."));
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        THttpsClient client;
        ok = client.HTTPMethod("GET", url.toStdString());
        if (ok && !expected.empty() && core::Sha256Hex(client.Document.data(), client.Document.size()) != expected) {
            ok = false;
            client.ErrorText = "SHA-256 digest does not match";
        }
        if (ok) {
            ProgressBar->setValue(100);
            // Written under a temporary name and renamed when complete, so a
            // broken download never counts as the archive.
            const std::string target = fileName.toStdString();
            if (!core::WriteFileWhole(target, client.Document))
                throw std::runtime_error("Cannot create " + target);
            if (catalogue) {
                CatalogueDone(kind == core::KindDevelopCatalogue, fileName,
                              static_cast<qint64>(client.Document.size()));
            } else {
                lZIPname->show();
                lML->setText(QStringLiteral("ZIP file ready to install"));
                slogR();
            }
        } else if (catalogue) {
            CatalogueFailed(kind == core::KindDevelopCatalogue, QString::fromStdString(client.ErrorText));
        } else {
            lZIPname->hide();
            lML->setText(QStringLiteral("Download failed."));
            erslog(QStringLiteral("Download failed: ") + HostOf(url.toStdString()) + QStringLiteral(": ") +
                   QString::fromStdString(client.ErrorText));
        }
    } catch (const std::exception& error) {
        ok = false;
        lZIPname->hide();
        lML->setText(QStringLiteral("Download failed."));
        erslog(QString::fromStdString(error.what()));
    }
    QApplication::restoreOverrideCursor();
    ProgressBar->hide();
    tHTMLqueue->start();
    EnableBuildChoice();
    queue.FinishActive();
    return ok;
}

void TfMain::HTTPProgress(QObject*, int totalSize, int readed)
{
    const uint8_t kind = queue.ActiveKind();
    if (kind < core::KindLegacyCatalogue || kind > core::KindDevelopBuild || totalSize <= 0)
        return;
    const int position = core::ProgressPercent(readed, totalSize);
    ProgressBar->setValue(position);
    ProgressBar->setVisible(position < 100);
    if (totalSize > 1000000) {
        const QString size = QLocale().toString(core::DownloadedMegabytes(readed), 'f', 1);
        lML->setText(QStringLiteral("Downloading (") + size + QStringLiteral(" MB)"));
    }
}

std::string TfMain::CachedCataloguePath(bool develop) const
{
    return WorkFolder + (develop ? "develop.inf" : "legacy.inf");
}

bool TfMain::LoadCachedCatalogue(bool develop)
{
    const std::string cached = CachedCataloguePath(develop);
    std::error_code ec;
    if (!fs::exists(cached, ec))
        return false;
    LoadCatalogue(develop, QString::fromStdString(cached));
    return true;
}

void TfMain::HTTPDoneFile(QObject*, const QString& fileName, int fileSize)
{
    ProgressBar->hide();
    const uint8_t kind = queue.ActiveKind();
    if (kind == core::KindDevelopCatalogue || kind == core::KindLegacyCatalogue) {
        CatalogueDone(kind == core::KindDevelopCatalogue, fileName, fileSize);
    } else if (kind == core::KindDevelopBuild || kind == core::KindLegacyBuild) {
        rbDevelop->setEnabled(cbDevelop->count() > 0);
        rbNightly->setEnabled(cbNightly->count() > 0);
        if (kind == core::KindDevelopBuild)
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

void TfMain::CatalogueDone(bool develop, const QString& fileName, qint64 fileSize)
{
    if (fileSize > 0 && core::ReadCatalogueFile(fileName.toStdString()).empty()) {
        // Something answered, but not with a catalogue (an error or portal
        // page): a failed fetch. It is not kept, and the cached catalogue of
        // an earlier fetch stays.
        std::error_code ec;
        fs::remove(fileName.toStdString(), ec);
        CatalogueFailed(develop, QStringLiteral("not a build catalogue"));
        return;
    }
    if (fileSize > 0) {
        LoadCatalogue(develop, fileName);
        // Kept as the fallback for a later run that gets nothing.
        const std::string cached = CachedCataloguePath(develop);
        std::error_code ec;
        fs::remove(cached, ec);
        fs::rename(fileName.toStdString(), cached, ec);
    } else {
        LoadCachedCatalogue(develop);
    }
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
    QString cause = failureCause_.isEmpty() ? HTTP->ErrorText() : failureCause_;
    failureCause_.clear();
    if (cause.isEmpty())
        cause = QStringLiteral("failed");
    const uint8_t kind = queue.ActiveKind();
    if (kind == core::KindDevelopCatalogue || kind == core::KindLegacyCatalogue) {
        CatalogueFailed(kind == core::KindDevelopCatalogue, cause);
    } else if (kind == core::KindDevelopBuild || kind == core::KindLegacyBuild) {
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
    return queue.Holds(core::KindDevelopBuild) || queue.Holds(core::KindLegacyBuild);
}
