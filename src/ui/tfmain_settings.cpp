// Window placement and the remembered builds, per user.
#include "ui/tfmain.h"

#include <QComboBox>
#include <QRadioButton>
#include <QSettings>

#include <memory>

namespace {

QSettings* OpenSettings()
{
    return new QSettings(QStringLiteral("Tolvane Software"), QStringLiteral("Flintor"));
}

// A stored number; a value of another type counts as missing.
bool ReadInt(QSettings& settings, const char* name, int* out)
{
    const QVariant value = settings.value(QLatin1String(name));
    if (!value.isValid())
        return false;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    if (!ok)
        return false;
    *out = number;
    return true;
}

bool ReadText(QSettings& settings, const char* name, QString* out)
{
    const QVariant value = settings.value(QLatin1String(name));
    if (!value.isValid() || !value.canConvert<QString>() || value.userType() == QMetaType::QStringList)
        return false;
    *out = value.toString();
    return true;
}

}  // namespace

void TfMain::RegRead()
{
    std::unique_ptr<QSettings> settings(OpenSettings());
    if (settings->allKeys().isEmpty())
        return;  // first start: everything keeps its designed value
    int number = 0;
    if (ReadInt(*settings, "Width", &number))
        resize(number, height());
    if (ReadInt(*settings, "Height", &number))
        resize(width(), number);
    if (ReadInt(*settings, "Top", &number))
        move(x(), number);
    if (ReadInt(*settings, "Left", &number))
        move(number, y());
    if (ReadInt(*settings, "WindowState", &number)) {
        if (number == 1)
            setWindowState(Qt::WindowMinimized);
        else if (number == 2)
            setWindowState(Qt::WindowMaximized);
        else
            setWindowState(Qt::WindowNoState);
    }
    update();
    QString text;
    if (ReadText(*settings, "lastDev", &text))
        rememberedDev = text;
    if (ReadText(*settings, "lastNightly", &text))
        rememberedNightly = text;
    if (ReadInt(*settings, "DevelopSel", &number)) {
        // Checking one of the two radio buttons unchecks the other.
        if (number != 0)
            rbDevelop->setChecked(true);
        else
            rbNightly->setChecked(true);
        // The lists are still empty here, so choosing runs nothing yet.
        if (rbDevelop->isChecked())
            rbDevelopClick();
        else
            rbNightlyClick();
    }
}

void TfMain::RegWrite()
{
    std::unique_ptr<QSettings> settings(OpenSettings());
    if (!settings->isWritable())
        return;
    int state = 0;
    if (windowState() & Qt::WindowMinimized)
        state = 1;
    else if (windowState() & Qt::WindowMaximized)
        state = 2;
    settings->setValue(QStringLiteral("WindowState"), state);
    if (state != 2) {
        settings->setValue(QStringLiteral("Top"), y());
        settings->setValue(QStringLiteral("Left"), x());
        settings->setValue(QStringLiteral("Width"), width());
        settings->setValue(QStringLiteral("Height"), height());
    }
    settings->setValue(QStringLiteral("lastNightly"),
                       cbNightly->currentIndex() >= 0 ? cbNightly->currentText() : QString());
    settings->setValue(QStringLiteral("lastDev"),
                       cbDevelop->currentIndex() >= 0 ? cbDevelop->currentText() : QString());
    settings->setValue(QStringLiteral("DevelopSel"), rbDevelop->isChecked() ? 1 : 0);
    settings->sync();
}
