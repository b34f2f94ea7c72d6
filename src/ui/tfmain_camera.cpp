// The card's camera in the content group, the build made for it in the build
// lists, and Save's question when the build to install is made for another
// camera or firmware. The rules live in src/camera.
#include "camera/cardcamera.h"
#include "core/textutil.h"
#include "ui/messagebox.h"
#include "ui/tfmain.h"

#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QRadioButton>

void TfMain::RefreshCameraLabel()
{
    const camera::CardCamera found = camera::ReadCardCamera(CardRoot);
    const QString line = QString::fromStdString(camera::CameraLine(found.camera));
    // A long model name is cut to the group's width; the hint holds it whole.
    lCameraName->setText(lCameraName->fontMetrics().elidedText(line, Qt::ElideRight, lCameraName->width()));
    lCameraName->setToolTip(
        found.photo.empty()
            ? QString()
            : line + QStringLiteral("\nRead from ") +
                  QDir(QString::fromStdString(CardRoot)).relativeFilePath(QString::fromStdString(found.photo)));
    if (found.camera == cardCamera)
        return;
    cardCamera = found.camera;
    PreselectCameraBuild();
}

int TfMain::InitialBuildIndex(bool develop) const
{
    const std::vector<core::TPorts>& builds = develop ? developBuilds : legacyBuilds;
    const int forCamera = userChoseBuild_ ? -1 : camera::CameraBuildIndex(builds, cardCamera);
    if (forCamera >= 0)
        return forCamera;
    return core::RememberedIndex(builds, (develop ? rememberedDev : rememberedNightly).toStdString());
}

void TfMain::PreselectCameraBuild()
{
    if (userChoseBuild_ || saving || LocalBuildChosen())
        return;
    const int developIndex = camera::CameraBuildIndex(developBuilds, cardCamera);
    const int legacyIndex = camera::CameraBuildIndex(legacyBuilds, cardCamera);
    bool develop = rbDevelop->isChecked();
    if ((develop ? developIndex : legacyIndex) < 0)
        develop = !develop;
    const int index = develop ? developIndex : legacyIndex;
    if (index < 0)
        return;
    QRadioButton* radio = develop ? rbDevelop : rbNightly;
    QComboBox* box = develop ? cbDevelop : cbNightly;
    const int otherIndex = develop ? legacyIndex : developIndex;
    if (otherIndex >= 0)
        (develop ? cbNightly : cbDevelop)->setCurrentIndex(otherIndex);
    if (radio->isChecked() && box->currentIndex() == index)
        return;  // chosen already
    box->setCurrentIndex(index);
    radio->setChecked(true);
    ChooseBuild(develop);
}

camera::BuildTarget TfMain::ChosenBuildTarget(std::string* name) const
{
    *name = lZIPname->text().toStdString();
    const camera::BuildTarget fromArchive = camera::TargetOfName(*name);
    if (fromArchive.known() || LocalBuildChosen())
        return fromArchive;
    const bool develop = rbDevelop->isChecked();
    const std::vector<core::TPorts>& builds = develop ? developBuilds : legacyBuilds;
    const int index = (develop ? cbDevelop : cbNightly)->currentIndex();
    if (index < 0 || index >= static_cast<int>(builds.size()))
        return fromArchive;
    const core::TPorts& build = builds[static_cast<size_t>(index)];
    if (core::UrlFileName(build.url) != *name)
        return fromArchive;  // the list shows another build than the one to install
    *name = build.name;
    return camera::TargetOfName(build.name);
}

bool TfMain::ConfirmBuildForCamera()
{
    std::string build;
    const camera::BuildTarget target = ChosenBuildTarget(&build);
    const std::string why = camera::MismatchText(camera::BuildFit(cardCamera, target), cardCamera, target, build);
    if (why.empty())
        return true;
    if (ShowMessage(this, QMessageBox::Warning, windowTitle(),
                    QString::fromStdString(why) + QStringLiteral("\n\nInstall it anyway?"),
                    QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes)
        return true;
    log(QStringLiteral("Nothing was written."));
    return false;
}
