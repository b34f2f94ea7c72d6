// Flintor as a desktop program: the command line without a display, keyboard
// use of the window, colours on a dark theme, whole status texts and the
// format dialog's proposal and its card.
#include "config/appconfig.h"
#include "platform/cardaccess.h"
#include "support/fakecards.h"
#include "ui/buttonart.h"
#include "ui/formatdialog.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"
#include "ui/urllink.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QToolTip>
#include <QtTest>

namespace {

appconfig::Options OfflineOptions()
{
    appconfig::Options options;
    options.catalogueHost = QStringLiteral("127.0.0.1:9");  // refused at once
    return options;
}

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the real program as a user on a console would: no display at all.
Run RunFlintor(const QStringList& arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(FLINTOR_BIN), arguments);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        run.err = QStringLiteral("did not finish normally: ") + QString::fromLocal8Bit(process.readAllStandardError());
        return run;
    }
    run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

// A dark theme as desktops set it: light text on dark grey.
QPalette DarkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(53, 53, 53));
    p.setColor(QPalette::WindowText, QColor(230, 230, 230));
    p.setColor(QPalette::Base, QColor(35, 35, 35));
    p.setColor(QPalette::Text, QColor(230, 230, 230));
    p.setColor(QPalette::Button, QColor(53, 53, 53));
    p.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    p.setColor(QPalette::Link, QColor(42, 130, 218));  // itself only 3.1:1 here
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    return p;
}

double TextContrast(const QWidget* w)
{
    return ContrastRatio(w->palette().color(QPalette::WindowText), w->palette().color(QPalette::Window));
}

}  // namespace

class DesktopTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir home_;

private slots:
    void initTestCase()
    {
        QVERIFY(home_.isValid());
        qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (home_.path() + "/cache").toLocal8Bit());
    }

    void helpVersionAndBadOptionsNeedNoDisplay()
    {
        const Run help = RunFlintor({QStringLiteral("--help")});
        QCOMPARE(help.exitCode, 0);
        QVERIFY2(help.out.startsWith(QStringLiteral("Usage: flintor")), qPrintable(help.out + help.err));
        QVERIFY(help.out.contains(QStringLiteral("--include-loop")));
        QVERIFY(help.out.contains(QStringLiteral("--version")));

        const Run version = RunFlintor({QStringLiteral("--version")});
        QCOMPARE(version.exitCode, 0);
        QCOMPARE(version.out, QStringLiteral("Flintor 1.51\n"));

        // Qt's own options and their values are no unknown options.
        const Run withQt =
            RunFlintor({QStringLiteral("-platform"), QStringLiteral("offscreen"), QStringLiteral("--version")});
        QCOMPARE(withQt.exitCode, 0);
        QCOMPARE(withQt.out, QStringLiteral("Flintor 1.51\n"));

        for (const QStringList& bad :
             {QStringList{QStringLiteral("--bogus")}, QStringList{QStringLiteral("--catalogue-host")},
              QStringList{QStringLiteral("--include-loop"), QStringLiteral("stray")},
              QStringList{QStringLiteral("--backend"), QStringLiteral("floppy")},
              QStringList{QStringLiteral("--image"), QStringLiteral("/no/such/card.img")}}) {
            const Run run = RunFlintor(bad);
            QVERIFY2(run.exitCode == 2,
                     qPrintable(bad.join(' ') + ": " + QString::number(run.exitCode) + " " + run.err));
            QVERIFY(run.out.isEmpty());
            QVERIFY(run.err.contains(QStringLiteral("Usage: flintor")));
        }
    }

    void tabFollowsTheReadingOrder()
    {
        TfMain w(OfflineOptions());
        const QList<QWidget*> expected = {w.cbDrives,   w.bRefresh,  w.cbCardLabel, w.eCardLabel, w.cbBootLabel,
                                          w.eBootLabel, w.cbScript,  w.eScript,     w.sbCHDK,     w.sbML,
                                          w.ulAuthor,   w.ulWebsite, w.rbDevelop,   w.cbDevelop,  w.rbNightly,
                                          w.cbNightly,  w.bSave};
        // Every control takes the focus from the keyboard.
        for (QWidget* control : expected)
            QVERIFY2(control->focusPolicy() & Qt::TabFocus, qPrintable(control->metaObject()->className()));

        // The focus chain of the real widgets, in order.
        QList<QWidget*> chain;
        QWidget* at = w.cbDrives;
        for (int guard = 0; guard < 500 && (chain.isEmpty() || at != w.cbDrives); ++guard) {
            if (expected.contains(at))
                chain << at;
            at = at->nextInFocusChain();
        }
        QCOMPARE(chain, expected);

        // And with every control usable (a loaded card, the build group
        // open), Tab visits them in that order. The two build radio buttons
        // are one stop, as radio buttons are: the arrow keys choose.
        for (QWidget* control : expected)
            control->setEnabled(true);
        w.gbML->show();
        w.rbDevelop->setChecked(true);
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QList<QWidget*> tabStops = expected;
        tabStops.removeOne(w.rbNightly);
        w.cbDrives->setFocus(Qt::OtherFocusReason);
        QList<QWidget*> visited{QApplication::focusWidget()};
        for (qsizetype i = 1; i <= tabStops.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            visited << QApplication::focusWidget();
        }
        QCOMPARE(visited, tabStops + QList<QWidget*>{w.cbDrives});  // and round again
        w.rbDevelop->setFocus(Qt::TabFocusReason);
        QTest::keyClick(w.rbDevelop, Qt::Key_Down);
        QCOMPARE(QApplication::focusWidget(), w.rbNightly);
    }

    void mnemonicsAreUniqueAndLeaveAltFToFormatting()
    {
        TfMain w(OfflineOptions());
        TFormatDialog dialog(QStringLiteral("sdb1: EOS_DIGITAL [FAT32] 32 GB"), QStringLiteral("FAT32"));
        for (QWidget* window : {static_cast<QWidget*>(&w), static_cast<QWidget*>(&dialog)}) {
            QMap<int, QString> taken;
            int captions = 0;
            const auto check = [&](const QString& caption) {
                ++captions;
                const QKeySequence key = QKeySequence::mnemonic(caption);
                QVERIFY2(!key.isEmpty(), qPrintable(caption + " has no mnemonic"));
                QVERIFY2(key != QKeySequence(Qt::ALT | Qt::Key_F), qPrintable(caption + " takes Alt+F"));
                QVERIFY2(!taken.contains(key[0].toCombined()),
                         qPrintable(caption + " clashes with " + taken.value(key[0].toCombined())));
                taken.insert(key[0].toCombined(), caption);
            };
            for (QAbstractButton* button : window->findChildren<QAbstractButton*>())
                if (!button->text().isEmpty())
                    check(button->text());
            for (QLabel* label : window->findChildren<QLabel*>())
                if (label->buddy())
                    check(label->text());
            QVERIFY(captions >= (window == &w ? 10 : 3));
        }
        // Alt+F still formats: with no card the window says so.
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
        QCOMPARE(w.StatusBar->panel(3).text, QStringLiteral(" Error occurred!"));
    }

    void linkColoursStayReadableOnADarkTheme()
    {
        // The formula against values every contrast checker gives.
        QCOMPARE(qRound(ContrastRatio(Qt::black, Qt::white) * 100), 2100);
        QCOMPARE(qRound(ContrastRatio(QColor(0x77, 0x77, 0x77), Qt::white) * 100), 448);

        const QPalette light = QApplication::palette();
        {
            TfMain w(OfflineOptions());
            // A light theme keeps the designed navy.
            QCOMPARE(w.ulAuthor->palette().color(QPalette::WindowText), QColor(0, 0, 128));
            QCOMPARE(w.ulWebsite->palette().color(QPalette::WindowText), QColor(0, 0, 128));
            QCOMPARE(w.lZIPname->palette().color(QPalette::WindowText), QColor(Qt::blue));
            QVERIFY(TextContrast(w.ulAuthor) >= 4.5);
        }
        QApplication::setPalette(DarkPalette());
        {
            TfMain w(OfflineOptions());
            QCOMPARE(w.ulAuthor->palette().color(QPalette::Window), QColor(53, 53, 53));
            for (TURLLink* link : {w.ulAuthor, w.ulWebsite})
                QVERIFY2(TextContrast(link) >= 4.5, qPrintable(QString::number(TextContrast(link))));
            // The build's name in the Magic Lantern group, blue on light themes.
            QVERIFY2(TextContrast(w.lZIPname) >= 4.5, qPrintable(QString::number(TextContrast(w.lZIPname))));
            // Hovered, the website link turns to a readable hot-light colour.
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
            QApplication::sendEvent(w.ulWebsite, &enter);
            QVERIFY(w.ulWebsite->hovered());
            QVERIFY(TextContrast(w.ulWebsite) >= 4.5);
            QEvent leave(QEvent::Leave);
            QApplication::sendEvent(w.ulWebsite, &leave);
            QVERIFY(TextContrast(w.ulWebsite) >= 4.5);

            TFormatDialog dialog(QStringLiteral("sdb1"), QStringLiteral("exFAT"));
            QVERIFY(TextContrast(dialog.warning) >= 4.5);

            // Back to a light theme while running: the designed colour returns.
            QApplication::setPalette(light);
            QTRY_COMPARE(w.ulAuthor->palette().color(QPalette::WindowText), QColor(0, 0, 128));
            QCOMPARE(w.ulAuthor->palette().color(QPalette::Window), light.color(QPalette::Window));
            // And to a dark one again.
            QApplication::setPalette(DarkPalette());
            QTRY_VERIFY(TextContrast(w.ulAuthor) >= 4.5);
            QTRY_VERIFY(TextContrast(w.ulWebsite) >= 4.5);
        }
        QApplication::setPalette(light);
    }

    void buttonPictureCaptionsAreReadable()
    {
        // The small line under each preset's name ("not bootable", or the
        // tick when set up) against the face just beside it, in the up and
        // the down state of both pictures.
        for (ButtonArt art : {ButtonArt::Chdk, ButtonArt::MagicLantern}) {
            const QImage strip = ButtonStrip(art).toImage();
            for (int state : {0, 3}) {
                const int left = state * 133;
                const QColor face = strip.pixelColor(left + 56, 60);
                double best = 1;
                for (int y = 54; y < 68; ++y)
                    for (int x = left + 58; x < left + 128; ++x)
                        best = std::max(best, ContrastRatio(strip.pixelColor(x, y), face));
                QVERIFY2(best >= 4.5,
                         qPrintable(QStringLiteral("art %1 state %2: %3").arg(int(art)).arg(state).arg(best)));
            }
        }
    }

    void cutStatusTextIsWholeInTheTooltip()
    {
        TfMain w(OfflineOptions());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString text = QStringLiteral("Download of magiclantern-Nightly.2026Dec08.5D3113.zip failed: "
                                            "the server closed the connection after 4096 of 12582912 bytes");
        w.log(text);
        QCOMPARE(w.StatusBar->panelToolTip(3), text);
        QHelpEvent help(QEvent::ToolTip, w.StatusBar->panelRect(3).center(),
                        w.StatusBar->mapToGlobal(w.StatusBar->panelRect(3).center()));
        QApplication::sendEvent(w.StatusBar, &help);
        QTRY_COMPARE(QToolTip::text(), text);

        // An error text shows whole too, without its markup.
        w.erslog(QStringLiteral("<b>Error in unzipping</b> ") + text);
        QCOMPARE(w.StatusBar->panelToolTip(3), QStringLiteral("Error in unzipping ") + text);

        // A text that fits needs no tooltip.
        QToolTip::hideText();
        w.log(QStringLiteral("Ready"));
        QCOMPARE(w.StatusBar->panelToolTip(3), QString());
        QApplication::sendEvent(w.StatusBar, &help);
        QTRY_VERIFY(!QToolTip::isVisible());
    }

    // A tooltip holding text from a card, a photo or a server shows that text
    // as it is, never rendered as HTML.
    void tooltipsShowTextAsItIs()
    {
        TfMain w(OfflineOptions());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QString hostile = QStringLiteral("<b>EOS</b> <img src=\"x\">\nRead from DCIM/100CANON/<i>.JPG");
        w.lAutoexecOK->setToolTip(hostile);
        QHelpEvent help(QEvent::ToolTip, QPoint(1, 1), w.lAutoexecOK->mapToGlobal(QPoint(1, 1)));
        QApplication::sendEvent(w.lAutoexecOK, &help);
        QTRY_VERIFY(QToolTip::isVisible());
        QTextDocument shown;
        shown.setHtml(QToolTip::text());
        QCOMPARE(shown.toPlainText().replace(QChar::LineSeparator, QLatin1Char('\n')), hostile);
        QToolTip::hideText();
    }

    // Labels that show a name from a card, a photo or a catalogue never
    // render it as HTML.
    void labelsShowNamesAsTheyAre()
    {
        TfMain w(OfflineOptions());
        for (QLabel* label : {w.lfirName, w.lCameraName, w.lML, w.lZIPname})
            QCOMPARE(label->textFormat(), Qt::PlainText);
    }

    void formatDialogProposesTheCardsFileSystem()
    {
        const QList<QPair<QString, QString>> cases = {{QStringLiteral("exFAT"), QStringLiteral("exFAT")},
                                                      {QStringLiteral("FAT32"), QStringLiteral("FAT32")},
                                                      {QStringLiteral("FAT"), QStringLiteral("FAT32")},
                                                      {QString(), QStringLiteral("FAT32")}};
        for (const auto& [current, proposed] : cases) {
            TFormatDialog dialog(QStringLiteral("sdb1: EOS_DIGITAL"), current);
            QCOMPARE(dialog.fileSystem->currentText(), proposed);
        }
    }

    // The dialog names a card when it opens; another card put in the same
    // reader before Format is pressed is not formatted, and the user is told.
    void formatDialogFormatsOnlyTheCardItNamed()
    {
        auto owned = std::make_unique<testsupport::FakeCards>();
        testsupport::FakeCards& cards = *owned;
        platform::SetCards(std::move(owned));
        cards.volume.name = "sdz1";
        cards.volume.identity = "8:1:A";
        QString warning;
        QTimer answer;
        connect(&answer, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                warning = box->text();
                box->accept();
            } else if (auto* dialog = qobject_cast<TFormatDialog*>(modal)) {
                cards.volume.identity = "8:1:B";
                dialog->findChild<QPushButton*>(QStringLiteral("formatButton"))->click();
            }
        });
        answer.start(20);
        QCOMPARE(RunFormatDialog(nullptr, "sdz1"), int(platform::FormatError));
        answer.stop();
        QCOMPARE(cards.CallIndex("format"), -1);
        QVERIFY2(warning.contains(QStringLiteral("replaced")), qPrintable(warning));
        platform::SetCards(nullptr);
    }
};

QTEST_MAIN(DesktopTest)
#include "desktop_test.moc"
