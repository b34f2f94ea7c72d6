// Flintor: prepares a camera's memory card for add-on firmware.
#include "config/appconfig.h"
#include "platform/cardaccess.h"
#include "platform/images.h"
#include "ui/tfmain.h"

#include <QApplication>
#include <QPalette>
#include <QSet>
#include <QTimer>
#include <cstdio>
#include <optional>

namespace {

// Qt's own command-line options. QApplication takes them off the command
// line; the check before it exists must step over them (and their values).
bool IsQtOption(const QString& arg, bool* takesValue)
{
    static const QSet<QString> withValue = {QStringLiteral("platform"),      QStringLiteral("platformpluginpath"),
                                            QStringLiteral("platformtheme"), QStringLiteral("plugin"),
                                            QStringLiteral("style"),         QStringLiteral("stylesheet"),
                                            QStringLiteral("session"),       QStringLiteral("display"),
                                            QStringLiteral("geometry"),      QStringLiteral("qwindowgeometry"),
                                            QStringLiteral("qwindowicon"),   QStringLiteral("qwindowtitle"),
                                            QStringLiteral("name"),          QStringLiteral("title"),
                                            QStringLiteral("visual"),        QStringLiteral("qmljsdebugger")};
    static const QSet<QString> flags = {QStringLiteral("reverse"), QStringLiteral("widgetcount"),
                                        QStringLiteral("nograb"), QStringLiteral("dograb"), QStringLiteral("sync")};
    if (!arg.startsWith(QLatin1Char('-')) || arg.startsWith(QLatin1String("---")))
        return false;
    QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
    const bool inlineValue = name.contains(QLatin1Char('='));
    name = name.section(QLatin1Char('='), 0, 0);
    if (withValue.contains(name)) {
        *takesValue = !inlineValue;
        return true;
    }
    *takesValue = false;
    return flags.contains(name) && !inlineValue;
}

QString HelpText()
{
    const QString own = QStringLiteral("  -h, --help                  print this help and exit\n"
                                       "  --version                   print the version and exit\n");
    QString usage = appconfig::UsageText();
    const qsizetype env = usage.indexOf(QLatin1String("\nEnvironment:"));
    if (env >= 0)
        return usage.insert(env + 1, own);
    if (!usage.endsWith(QLatin1Char('\n')))
        usage += QLatin1Char('\n');
    return usage + own;
}

// --help, --version and a bad command line are answered before QApplication
// exists: they need no display, so they work on a console, in a build (the
// manual pages are made from this output) and over ssh. Returns the exit code
// when the program is to stop here.
std::optional<int> AnswerWithoutWindow(int argc, char** argv)
{
    QStringList ours;
    bool version = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        bool takesValue = false;
        if (IsQtOption(arg, &takesValue)) {
            if (takesValue)
                ++i;
            continue;
        }
        if (arg == QLatin1String("--version"))
            version = true;
        else
            ours << arg;
    }
    const appconfig::Options options = appconfig::ParseOptions(ours);
    if (options.showHelp) {
        std::fputs(HelpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (version) {
        std::printf("%s\n", appconfig::kVersionTitle);
        return 0;
    }
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "flintor: %s\n%s", options.error.toLocal8Bit().constData(),
                     HelpText().toLocal8Bit().constData());
        return 2;
    }
    return std::nullopt;
}

// A dark theme like the ones desktops set: light text on dark grey, with
// the usual blue link colour (which alone is too dark to read there).
QPalette DarkPalette()
{
    QPalette p;
    const QColor window(53, 53, 53), text(230, 230, 230), base(35, 35, 35), disabled(127, 127, 127);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::red);
    p.setColor(QPalette::Link, QColor(42, 130, 218));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    p.setColor(QPalette::Light, QColor(80, 80, 80));
    p.setColor(QPalette::Midlight, QColor(66, 66, 66));
    p.setColor(QPalette::Mid, QColor(40, 40, 40));
    p.setColor(QPalette::Dark, QColor(25, 25, 25));
    p.setColor(QPalette::Shadow, Qt::black);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, disabled);
    return p;
}

// The last guard: an exception that a handler let through (a card pulled while
// it was read, memory running out) is reported, and the program goes on.
class Application : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override
    {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "flintor: %s\n", error.what());
        } catch (...) {
            std::fprintf(stderr, "flintor: unexpected error\n");
        }
        return false;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (const std::optional<int> code = AnswerWithoutWindow(argc, argv))
        return *code;
    Application app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Flintor"));
    QApplication::setOrganizationName(QStringLiteral("Tolvane Software"));
    // Matches the desktop entry, so that the desktop shows the entry's icon
    // and name for the window.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.Flintor"));
    const appconfig::Options options = appconfig::ParseOptions(app.arguments().mid(1));
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "flintor: %s\n%s", options.error.toLocal8Bit().constData(),
                     HelpText().toLocal8Bit().constData());
        return 2;
    }
    // How cards are reached is decided once, before the window lists them;
    // image files are listed beside the cards.
    platform::BackendChoice choice = platform::BackendChoice::Auto;
    if (!options.backend.isEmpty())
        platform::ParseBackendChoice(options.backend.toStdString(), &choice);
    std::string why;
    std::unique_ptr<platform::CardAccess> cards = platform::MakeAccess(choice, &why);
    if (!options.images.empty()) {
        std::vector<platform::ImageSpec> specs;
        for (const std::string& image : options.images)
            specs.push_back(platform::ImageSpec{image, 0, std::string()});
        cards = platform::WithImages(std::move(cards), specs, &why);
        if (!cards) {
            std::fprintf(stderr, "flintor: %s\n", why.c_str());
            return 1;
        }
    }
    platform::SetCards(std::move(cards));
    // FLINTOR_SCREENSHOT=FILE.png saves a picture of the window after a
    // short delay and quits: used to document and check the look, with
    // FLINTOR_SCREENSHOT_PALETTE=dark in a dark theme.
    const QString shot = QString::fromLocal8Bit(qgetenv("FLINTOR_SCREENSHOT"));
    if (!shot.isEmpty() && qgetenv("FLINTOR_SCREENSHOT_PALETTE") == "dark")
        QApplication::setPalette(DarkPalette());
    TfMain fMain(options);
    fMain.show();
    if (!shot.isEmpty()) {
        const int delay = qEnvironmentVariableIntValue("FLINTOR_SCREENSHOT_DELAY_MS");
        QTimer::singleShot(delay > 0 ? delay : 1500, &fMain, [&fMain, shot] {
            fMain.grab().save(shot);
            QApplication::quit();
        });
    }
    const int status = app.exec();
    platform::SetCards(nullptr);  // while the bus connection is still there
    return status;
}
