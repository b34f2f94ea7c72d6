// The main window on its real widgets: start-up, expand and collapse, the
// status bar, settings, Alt+F without a card and the link labels.
#include "config/appconfig.h"
#include "ui/buttonart.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"
#include "ui/urllink.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

appconfig::Options OfflineOptions()
{
    appconfig::Options options;
    options.includeLoop = false;
    options.catalogueHost = QStringLiteral("127.0.0.1:9");  // refused at once
    return options;
}

// Records the window titles the main window takes while it is created.
class TitleRecorder : public QObject {
public:
    QStringList titles;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::WindowTitleChange && watched->objectName() == QLatin1String("fMain"))
            titles << static_cast<QWidget*>(watched)->windowTitle();
        return false;
    }
};

QSettings Stored()
{
    return QSettings(QStringLiteral("Tolvane Software"), QStringLiteral("Flintor"));
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir home_;

private slots:
    void initTestCase()
    {
        QVERIFY(home_.isValid());
        qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (home_.path() + "/cache").toLocal8Bit());
        QStandardPaths::setTestModeEnabled(false);
    }

    void init() { Stored().clear(); }

    void startsCollapsedWithTheLayoutAndCaption()
    {
        TitleRecorder recorder;
        qApp->installEventFilter(&recorder);
        TfMain w(OfflineOptions());
        qApp->removeEventFilter(&recorder);
        QVERIFY(recorder.titles.size() >= 2);
        QCOMPARE(recorder.titles.first(), QStringLiteral("Flintor"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Flintor 1.51"));
        QCOMPARE(w.width(), 330);
        QCOMPARE(w.height(), 384);
        QVERIFY(!w.gbML->isVisibleTo(&w));
        // Every control lies inside its parent, and no two controls of one
        // parent cover each other (the group boxes hold their own).
        const auto name = [](QWidget* widget) {
            return widget->objectName().isEmpty() ? QString::fromLatin1(widget->metaObject()->className()) +
                                                        QLatin1Char(' ') + widget->property("text").toString()
                                                  : widget->objectName();
        };
        const std::function<void(QWidget*)> checkChildren = [&](QWidget* parent) {
            QList<QWidget*> shown;
            for (QObject* child : parent->children())
                if (auto* widget = qobject_cast<QWidget*>(child);
                    widget && !widget->isWindow() && widget->isVisibleTo(&w) && !widget->geometry().isEmpty())
                    shown << widget;
            for (QWidget* a : shown) {
                QVERIFY2(parent->rect().contains(a->geometry()), qPrintable(name(a) + " leaves its parent"));
                for (QWidget* b : shown)
                    QVERIFY2(a == b || !a->geometry().intersects(b->geometry()),
                             qPrintable(name(a) + " covers " + name(b)));
                checkChildren(a);
            }
        };
        checkChildren(&w);
        QCOMPARE(w.StatusBar->geometry().bottom(), w.height() - 1);
        QCOMPARE(w.eCardLabel->maxLength(), 11);
        QCOMPARE(w.eScript->maxLength(), 6);
        QCOMPARE(w.cbBootLabel->toolTip(), QStringLiteral("Make CHDK or MagicLantern bootable"));
        QVERIFY(!w.bSave->isEnabled());
        QVERIFY(w.rbDevelop->isChecked());
        QVERIFY(!w.rbDevelop->isEnabled());
        // The development catalogue is fetched at once, the legacy one waits.
        QCOMPARE(w.lML->text(), QStringLiteral("Checking ports in progress..."));
        QCOMPARE(w.StatusBar->panel(1).text, QStringLiteral(" Q: 2 "));
        QCOMPARE(w.lZIPname->text(), QStringLiteral("zipname"));
        QCOMPARE(w.WorkFolder, (home_.path() + "/cache/" + QCoreApplication::applicationName() + "001/").toStdString());
        QVERIFY(QFileInfo(QString::fromStdString(w.WorkFolder)).isDir());

        // Typed text turns to upper case and stops at the width.
        w.eBootLabel->setEnabled(true);
        QTest::keyClicks(w.eBootLabel, QStringLiteral("bootdiskxyz"));
        QCOMPARE(w.eBootLabel->text(), QStringLiteral("BOOTDISK"));
    }

    void expandsAndCollapses()
    {
        TfMain w(OfflineOptions());
        w.ShowHideML(true);
        QCOMPARE(w.height(), 124 + 387);
        QVERIFY(w.gbML->isVisibleTo(&w));
        QCOMPARE(w.StatusBar->y(), w.height() - 19);
        w.ShowHideML(false);
        QCOMPARE(w.height(), 384);
        QVERIFY(!w.gbML->isVisibleTo(&w));
        // A right click on the Magic Lantern button opens and closes the group.
        w.sbML->setEnabled(true);
        QTest::mousePress(w.sbML, Qt::RightButton);
        QTest::mouseRelease(w.sbML, Qt::RightButton);
        QVERIFY(w.gbML->isVisibleTo(&w));
        QVERIFY(!w.sbML->isChecked());
        QTest::mousePress(w.sbML, Qt::RightButton);
        QTest::mouseRelease(w.sbML, Qt::RightButton);
        QVERIFY(!w.gbML->isVisibleTo(&w));
        // Without a card the preset only opens the group.
        QTest::mouseClick(w.sbML, Qt::LeftButton);
        QVERIFY(w.sbML->isChecked());
        QVERIFY(w.gbML->isVisibleTo(&w));
    }

    void statusBarModesAndWidths()
    {
        TfMain w(OfflineOptions());
        TStatusBar* bar = w.StatusBar;
        w.slog(QStringLiteral("Drive: 12"), 0);
        QCOMPARE(bar->panel(0).text, QStringLiteral(" Drive: 12 "));
        QCOMPARE(bar->panel(0).width, QFontMetrics(bar->font()).horizontalAdvance(QStringLiteral(" Drive: 12 m")));
        const int panel1At = bar->panelRect(1).x();
        w.slog(QStringLiteral("Drive: 12 and a much longer text"), 0);
        QVERIFY(bar->panelRect(1).x() > panel1At);  // later panels move right
        QCOMPARE(bar->panelRect(3).right(), bar->width() - 1);

        w.log(QString());
        QCOMPARE(bar->panel(3).text, QStringLiteral("  "));
        w.erslog(QStringLiteral("<html><b>Not found</b> (404)</html>"));
        QVERIFY(bar->panel(2).ownerDrawn);
        QVERIFY(bar->bold());
        QCOMPARE(bar->panel(3).text, QStringLiteral(" Not found (404)"));
        // Painting the marker fixes panel 2 at 55 pixels and paints it red
        // with yellow text at x 63.
        const QImage image = bar->grab().toImage();
        QCOMPARE(bar->panel(2).width, 55);
        const QRect marker = bar->panelRect(2);
        QCOMPARE(QColor(image.pixel(marker.x() + 1, 10)), QColor(255, 0, 0));
        bool yellow = false;
        for (int x = 63; x < 63 + 40 && !yellow; ++x)
            for (int y = 3; y < 18 && !yellow; ++y)
                yellow = QColor(image.pixel(x, y)) == QColor(255, 255, 0);
        QVERIFY(yellow);

        // Any normal write, on any panel, ends error mode; the message stays.
        w.slog(QStringLiteral("Q: 0"), 1);
        QVERIFY(!bar->panel(2).ownerDrawn);
        QVERIFY(!bar->bold());
        QCOMPARE(bar->panel(3).text, QStringLiteral(" Not found (404)"));
        w.slogR();
        QCOMPARE(bar->panel(2).text, QStringLiteral(" Ready. "));
        QCOMPARE(bar->panel(3).text, QStringLiteral("  "));
    }

    void altFWithoutACardReportsAnError()
    {
        TfMain w(OfflineOptions());
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        int calls = 0;
        w.formatCard = [&](const std::string&) {
            ++calls;
            return 0;
        };
        w.cbDrives->clear();
        QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
        QCOMPARE(calls, 0);
        QVERIFY(w.StatusBar->panel(2).ownerDrawn);
        QCOMPARE(w.StatusBar->panel(3).text, QStringLiteral(" Error occurred!"));

        // With an entry, one press formats once; a held key's repeats do
        // nothing; other keys do nothing.
        w.cbDrives->addItem(QStringLiteral("nosuch1: CARD [FAT32] 1 GB"));
        w.cbDrives->setCurrentIndex(0);
        QTest::keyClick(&w, Qt::Key_G, Qt::AltModifier);
        QCOMPARE(calls, 0);
        QTest::keyPress(&w, Qt::Key_F, Qt::AltModifier);
        QKeyEvent repeat(QEvent::KeyPress, Qt::Key_F, Qt::AltModifier, QStringLiteral("f"), true);
        QApplication::sendEvent(&w, &repeat);
        QTest::keyRelease(&w, Qt::Key_F, Qt::AltModifier);
        QCOMPARE(calls, 1);
        QCOMPARE(w.StatusBar->panel(3).text, QStringLiteral(" Card has been formatted "));

        w.formatCard = [&](const std::string&) { return -2; };
        w.cbDrives->addItem(QStringLiteral("nosuch1: CARD [FAT32] 1 GB"));
        w.cbDrives->setCurrentIndex(0);
        QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
        QCOMPARE(w.StatusBar->panel(3).text, QStringLiteral(" User canceled formatting the drive"));
        w.formatCard = [&](const std::string&) { return -3; };
        w.cbDrives->addItem(QStringLiteral("nosuch1: CARD [FAT32] 1 GB"));
        w.cbDrives->setCurrentIndex(0);
        QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
        QCOMPARE(w.StatusBar->panel(3).text, QStringLiteral(" Drive is not formatable"));
    }

    void settingsFirstStartAndClose()
    {
        {
            TfMain w(OfflineOptions());
            QCOMPARE(w.pos(), QPoint(0, 0));
            QVERIFY(w.rbDevelop->isChecked());
            w.ShowHideML(true);
            w.close();
        }
        QSettings s = Stored();
        for (const char* name :
             {"WindowState", "Top", "Left", "Width", "Height", "lastNightly", "lastDev", "DevelopSel"})
            QVERIFY2(s.contains(QLatin1String(name)), name);
        QCOMPARE(s.value("Height").toInt(), 384);
        QCOMPARE(s.value("WindowState").toInt(), 0);
        QCOMPARE(s.value("DevelopSel").toInt(), 1);
        QCOMPARE(s.value("lastNightly").toString(), QString());
    }

    void settingsAreReadBackAndWrongTypesIgnored()
    {
        {
            QSettings s = Stored();
            s.setValue("DevelopSel", 0);
            s.setValue("Left", 40);
            s.setValue("Top", "not a number");
            s.setValue("lastDev", "Build B");
            s.sync();
        }
        TfMain w(OfflineOptions());
        QVERIFY(w.rbNightly->isChecked());
        QVERIFY(!w.rbDevelop->isChecked());
        QCOMPARE(w.x(), 40);
        QCOMPARE(w.y(), 0);
        QCOMPARE(w.rememberedDev, QStringLiteral("Build B"));
        {
            QSettings s = Stored();
            s.setValue("WindowState", 1);
            s.sync();
        }
        TfMain minimized(OfflineOptions());
        QVERIFY(minimized.windowState() & Qt::WindowMinimized);
    }

    void linkLabelHoverAndClick()
    {
        QStringList opened;
        auto previous = TURLLink::openLink;
        TURLLink::openLink = [&](const QString& link) { opened << link; };
        QWidget holder;
        auto* link = new TURLLink(&holder);
        link->move(60, 60);  // away from where the pointer rests
        holder.resize(300, 200);
        link->setText(QStringLiteral("flintor.example"));
        QFont normal = link->font();
        normal.setBold(false);
        link->setFont(normal);
        QFont focus = normal;
        focus.setUnderline(true);
        focus.setBold(true);
        link->setFocusFont(focus);
        focus.setItalic(true);  // the label keeps its own copy
        QVERIFY(!link->FocusFont().italic());
        holder.show();
        QVERIFY(QTest::qWaitForWindowExposed(&holder));

        int entered = 0;
        int left = 0;
        connect(link, &TURLLink::OnMouseEnter, this, [&] { ++entered; });
        connect(link, &TURLLink::OnMouseLeave, this, [&] { ++left; });
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QApplication::sendEvent(link, &enter);
        QVERIFY(link->font().underline());
        QCOMPARE(entered, 1);
        QCOMPARE(link->text(), QStringLiteral("flintor.example"));
        // A font set while hovered is what the label returns to later.
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(link, &leave);
        QVERIFY(!link->font().underline());
        QVERIFY(!link->font().bold());
        QCOMPARE(left, 1);

        QTest::mouseClick(link, Qt::LeftButton);
        QVERIFY(opened.isEmpty());  // an empty link opens nothing
        link->Link = QStringLiteral("https://flintor.example/");
        QTest::mouseClick(link, Qt::LeftButton);
        QCOMPARE(opened, QStringList{QStringLiteral("https://flintor.example/")});
        TURLLink::openLink = previous;
    }

    void buttonPicturesHaveFourStates()
    {
        for (ButtonArt art : {ButtonArt::Chdk, ButtonArt::MagicLantern}) {
            const QImage strip = ButtonStrip(art).toImage();
            QCOMPARE(strip.size(), QSize(532, 75));
            // The four 133-pixel states differ from each other.
            QSet<QByteArray> states;
            for (int i = 0; i < 4; ++i) {
                const QImage cell = strip.copy(i * 133, 0, 133, 75);
                states.insert(QByteArray(reinterpret_cast<const char*>(cell.constBits()), cell.sizeInBytes()));
            }
            QCOMPARE(states.size(), 4);
        }
        TfMain w(OfflineOptions());
        w.sbML->setEnabled(false);
        QCOMPARE(w.sbML->visibleState(), 1);
        w.sbML->setEnabled(true);
        w.sbML->setChecked(true);
        QCOMPARE(w.sbML->visibleState(), 3);
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
