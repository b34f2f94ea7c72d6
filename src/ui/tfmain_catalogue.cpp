// The two build lists and the choice of a build.
#include "core/catalogue.h"
#include "core/digest.h"
#include "core/fileutil.h"
#include "core/textutil.h"
#include "ui/tfmain.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QRadioButton>

void TfMain::DevelopOptions(const QString& path)
{
    LoadCatalogue(true, path);
}

void TfMain::LegacyOptions(const QString& path)
{
    LoadCatalogue(false, path);
}

void TfMain::LoadCatalogue(bool develop, const QString& path)
{
    std::vector<core::TPorts>& builds = develop ? developBuilds : legacyBuilds;
    QComboBox* box = develop ? cbDevelop : cbNightly;
    QRadioButton* radio = develop ? rbDevelop : rbNightly;
    builds = core::ReadCatalogueFile(path.toStdString());
    box->clear();
    for (const core::TPorts& build : builds)
        box->addItem(QString::fromStdString(build.name));
    box->setCurrentIndex(InitialBuildIndex(develop));
    radio->setEnabled(true);
    // An archive of the user's own stays chosen until a listed build is
    // chosen by hand.
    if (radio->isChecked() && !LocalBuildChosen())
        ChooseBuild(develop);
    box->setEnabled(radio->isChecked());
    PreselectCameraBuild();
}

void TfMain::ChooseBuild(bool develop)
{
    const std::vector<core::TPorts>& builds = develop ? developBuilds : legacyBuilds;
    QComboBox* box = develop ? cbDevelop : cbNightly;
    if (builds.empty())
        return;
    const int index = box->currentIndex();
    if (index < 0 || index >= static_cast<int>(builds.size()))
        return;
    const core::TPorts& build = builds[static_cast<size_t>(index)];
    const std::string archive = core::UrlFileName(build.url);
    const std::string local = WorkFolder + archive;
    LeaveLocalBuild(local);
    chosenSha256_ = build.sha256;
    lZIPname->setText(QString::fromStdString(archive));
    // An archive as new as the catalogue says, but not the one the
    // catalogue's digest names, is fetched again.
    const auto current = [&] {
        if (!core::ArchiveIsCurrent(core::FileDateText(local), build.stamp))
            return false;
        return build.sha256.empty() || core::FileSha256Hex(local) == build.sha256;
    };
    if (archive.empty() || archive == "." || archive == ".." || WorkFolder.empty()) {
        // Nothing sensible to store the archive under.
        lZIPname->hide();
        erslog(QStringLiteral("Download failed."));
    } else if (current()) {
        ProgressBar->hide();
        lZIPname->show();
        lML->setText(QStringLiteral("ZIP file ready to install"));
        lML->repaint();
        slogR();
    } else {
        ProgressBar->setValue(0);
        ProgressBar->setToolTip(QString::fromStdString(build.url));
        core::THTMLQueue request;
        request.url = build.url;
        request.localFile = local;
        request.binary = true;
        request.toFile = true;
        request.kind = develop ? core::KindDevelopBuild : core::KindLegacyBuild;
        request.statusText = "Downloading " + archive;
        request.sha256 = build.sha256;
        lZIPname->hide();
        lZIPname->repaint();
        lML->clear();
        lML->repaint();
        (develop ? rbNightly : rbDevelop)->setEnabled(false);
        box->setEnabled(false);
        box->repaint();
        InsHTMLque(request);
    }
    (develop ? cbNightly : cbDevelop)->setEnabled(false);
    box->setEnabled(true);
}

// The radio buttons' handlers run on the user's clicks (and from RegRead,
// before any list is loaded).
void TfMain::rbDevelopClick()
{
    userChoseBuild_ = userChoseBuild_ || !developBuilds.empty();
    ChooseBuild(true);
}

void TfMain::rbNightlyClick()
{
    userChoseBuild_ = userChoseBuild_ || !legacyBuilds.empty();
    ChooseBuild(false);
}

void TfMain::cbDevelopChange()
{
    rbDevelopClick();
    const int index = cbDevelop->currentIndex();
    if (index >= 0 && index < static_cast<int>(developBuilds.size()))
        cbDevelop->setToolTip(QString::fromStdString(developBuilds[static_cast<size_t>(index)].stamp));
}

void TfMain::cbNightlyChange()
{
    rbNightlyClick();
    const int index = cbNightly->currentIndex();
    if (index >= 0 && index < static_cast<int>(legacyBuilds.size()))
        cbNightly->setToolTip(QString::fromStdString(legacyBuilds[static_cast<size_t>(index)].stamp));
}

void TfMain::QueueCatalogues()
{
    if (WorkFolder.empty())
        return;
    core::THTMLQueue request;
    request.url = appconfig::CatalogueUrl(catalogueHost, QStringLiteral("develop.inf")).toStdString();
    request.localFile = WorkFolder + "develop.inf" + ".dl";
    request.binary = false;
    request.toFile = true;
    request.kind = core::KindDevelopCatalogue;
    request.statusText = "Checking ports in progress...";
    InsHTMLque(request);
    request.url = appconfig::CatalogueUrl(catalogueHost, QStringLiteral("legacy.inf")).toStdString();
    request.localFile = WorkFolder + "legacy.inf" + ".dl";
    request.kind = core::KindLegacyCatalogue;
    request.statusText = "Checking legacy nightly releases...";
    InsHTMLque(request);
}

void TfMain::RetryCatalogues()
{
    if (queue.Holds(core::KindDevelopCatalogue) || queue.Holds(core::KindLegacyCatalogue))
        return;  // a fetch of the lists is on its way already
    QueueCatalogues();
}

bool TfMain::CheckArchiveDigest(const QString& path, QString* why) const
{
    if (LocalBuildChosen() || chosenSha256_.empty())
        return true;
    const QString name = QString::fromStdString(core::UrlFileName(path.toStdString()));
    const std::string digest = core::FileSha256Hex(path.toStdString());
    QString cause;
    if (digest.empty())
        cause = QStringLiteral("cannot be read");
    else if (digest != chosenSha256_)
        cause = QStringLiteral("SHA-256 digest does not match the catalogue");
    else
        return true;
    if (why)
        *why = name + QStringLiteral(": ") + cause;
    return false;
}
