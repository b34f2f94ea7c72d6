// The two build lists and the choice of a build.
#include "core/catalogue.h"
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
    const QString& remembered = develop ? rememberedDev : rememberedNightly;
    box->setCurrentIndex(core::RememberedIndex(builds, remembered.toStdString()));
    radio->setEnabled(true);
    if (radio->isChecked())
        ChooseBuild(develop);
    box->setEnabled(radio->isChecked());
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
    lZIPname->setText(QString::fromStdString(archive));
    const std::string local = WorkFolder + archive;
    if (archive.empty() || archive == "." || archive == ".." || WorkFolder.empty()) {
        // Nothing sensible to store the archive under.
        lZIPname->hide();
        erslog(QStringLiteral("Download failed."));
    } else if (core::ArchiveIsCurrent(core::FileDateText(local), build.stamp)) {
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

void TfMain::rbDevelopClick()
{
    ChooseBuild(true);
}

void TfMain::rbNightlyClick()
{
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
