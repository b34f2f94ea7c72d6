// Flintor: prepares a camera's memory card for add-on firmware.
#include "ui/appconfig.h"
#include "ui/tfmain.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Flintor"));
    QApplication::setOrganizationName(QStringLiteral("Tolvane Software"));
    const appconfig::Options options = appconfig::ParseOptions(app.arguments().mid(1));
    if (options.showHelp) {
        std::fputs(appconfig::UsageText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "flintor: %s\n%s", options.error.toLocal8Bit().constData(),
                     appconfig::UsageText().toLocal8Bit().constData());
        return 2;
    }
    TfMain fMain(options);
    fMain.show();
    // FLINTOR_SCREENSHOT=FILE.png saves a picture of the window after a
    // short delay and quits: used to document and check the look.
    const QString shot = QString::fromLocal8Bit(qgetenv("FLINTOR_SCREENSHOT"));
    if (!shot.isEmpty()) {
        const int delay = qEnvironmentVariableIntValue("FLINTOR_SCREENSHOT_DELAY_MS");
        QTimer::singleShot(delay > 0 ? delay : 1500, &fMain, [&fMain, shot] {
            fMain.grab().save(shot);
            QApplication::quit();
        });
    }
    return app.exec();
}
