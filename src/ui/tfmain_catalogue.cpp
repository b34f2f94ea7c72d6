// The two build lists and the choice of a build.
#include "buildsource/buildsource.h"
#include "core/catalogue.h"
#include "core/digest.h"
#include "core/fileutil.h"
#include "core/textutil.h"
#include "ui/tfmain.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QRadioButton>

#include <filesystem>

namespace fs = std::filesystem;

buildsource::Catalogue TfMain::CatalogueOf(bool develop)
{
    return develop ? buildsource::Catalogue::Develop : buildsource::Catalogue::Legacy;
}

void TfMain::DevelopOptions(const QString& path)
{
    ShowCatalogue(true, core::ReadCatalogueFile(path.toStdString()));
}

void TfMain::LegacyOptions(const QString& path)
{
    ShowCatalogue(false, core::ReadCatalogueFile(path.toStdString()));
}

void TfMain::ShowCatalogue(bool develop, std::vector<core::TPorts> list)
{
    std::vector<core::TPorts>& builds = develop ? developBuilds : legacyBuilds;
    QComboBox* box = develop ? cbDevelop : cbNightly;
    QRadioButton* radio = develop ? rbDevelop : rbNightly;
    builds = std::move(list);
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
    std::string why;
    const std::string local = buildsource::ArchivePath(WorkFolder, build, &why);
    const std::string archive = local.empty() ? std::string() : fs::path(local).filename().string();
    LeaveLocalBuild(local);
    chosenSha256_ = build.sha256;
    lZIPname->setText(QString::fromStdString(archive));
    if (local.empty()) {
        // Nothing sensible to store the archive under.
        lZIPname->hide();
        erslog(QStringLiteral("Download failed. ") + QString::fromStdString(why));
    } else if (buildsource::ArchiveIsCurrent(local, build)) {
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
        request.kind = develop ? core::FetchKind::DevelopBuild : core::FetchKind::LegacyBuild;
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
    const std::string host = catalogueHost.toStdString();
    request.url = buildsource::CatalogueAddress(host, buildsource::Catalogue::Develop);
    request.localFile = buildsource::CatalogueDownloadPath(WorkFolder, buildsource::Catalogue::Develop);
    request.binary = false;
    request.toFile = true;
    request.kind = core::FetchKind::DevelopCatalogue;
    request.statusText = "Checking ports in progress...";
    InsHTMLque(request);
    request.url = buildsource::CatalogueAddress(host, buildsource::Catalogue::Legacy);
    request.localFile = buildsource::CatalogueDownloadPath(WorkFolder, buildsource::Catalogue::Legacy);
    request.kind = core::FetchKind::LegacyCatalogue;
    request.statusText = "Checking legacy nightly releases...";
    InsHTMLque(request);
}

void TfMain::RetryCatalogues()
{
    if (queue.Holds(core::FetchKind::DevelopCatalogue) || queue.Holds(core::FetchKind::LegacyCatalogue))
        return;  // a fetch of the lists is on its way already
    QueueCatalogues();
}

bool TfMain::CheckArchiveDigest(const QString& path, QString* why) const
{
    if (LocalBuildChosen())
        return true;
    std::string cause;
    if (buildsource::ArchiveHasDigest(path.toStdString(), chosenSha256_, &cause))
        return true;
    if (why)
        *why = QString::fromStdString(fs::path(path.toStdString()).filename().string() + ": " + cause);
    return false;
}
