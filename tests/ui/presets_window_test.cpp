// The window's marker controls on card images (no root needed): each handler
// runs the marker rule and the controls show its outcome; a card's buffer does
// not depend on the card shown before it; Save writes an image in place.
#include "config/appconfig.h"
#include "core/markerpresets.h"
#include "platform/images.h"
#include "ui/buttonart.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <functional>

namespace {

appconfig::Options OfflineOptions()
{
    appconfig::Options options;
    options.catalogueHost = QStringLiteral("127.0.0.1:9");  // refused at once
    return options;
}

}  // namespace

class PresetsWindowTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir home_;

    QByteArray MakeVolume(const QString& fsType, int mib)
    {
        const QString path = home_.path() + "/mk-" + fsType + ".img";
        QFile::remove(path);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(mib) << 20))
            return {};
        f.close();
        QProcess p;
        if (fsType == QLatin1String("exFAT"))
            p.start(QStringLiteral("mkfs.exfat"), {QStringLiteral("-L"), QStringLiteral("EOS_DIGITAL"), path});
        else
            p.start(QStringLiteral("mkfs.fat"),
                    {QStringLiteral("-F"), fsType.mid(3), QStringLiteral("-n"), QStringLiteral("EOS_DIGITAL"), path});
        if (!p.waitForFinished(60000) || p.exitCode() != 0)
            return {};
        QFile read(path);
        if (!read.open(QIODevice::ReadOnly))
            return {};
        return read.readAll();
    }

    // Writes bytes as the image file and makes it the only card there is.
    static bool UseImage(const QString& image, const QByteArray& bytes)
    {
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
            return false;
        f.close();
        std::string why;
        auto cards = platform::WithImages(nullptr, {{image.toStdString(), 0, ""}}, &why);
        if (!cards) {
            qWarning("%s", why.c_str());
            return false;
        }
        platform::SetCards(std::move(cards));
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(home_.isValid());
        qputenv("XDG_CONFIG_HOME", (home_.path() + "/config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (home_.path() + "/cache").toLocal8Bit());
        QStandardPaths::setTestModeEnabled(false);
        for (const char* tool : {"mkfs.fat", "mkfs.exfat"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty() &&
                QStandardPaths::findExecutable(QString::fromLatin1(tool), {QStringLiteral("/sbin")}).isEmpty()) {
                if (qgetenv("CI") == "true")
                    QFAIL("mkfs tools are missing");
                QSKIP("mkfs.fat and mkfs.exfat are needed");
            }
        }
    }

    void imageOptionIsRepeatable()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString a = dir.filePath(QStringLiteral("a.img"));
        const QString b = dir.filePath(QStringLiteral("b card.img"));
        for (const QString& path : {a, b}) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        const appconfig::Options two =
            appconfig::ParseOptions({QStringLiteral("--image"), a, QStringLiteral("--image=") + b});
        QVERIFY2(two.error.isEmpty(), qPrintable(two.error));
        QCOMPARE(two.images, (std::vector<std::string>{a.toStdString(), b.toStdString()}));
        QVERIFY(!appconfig::ParseOptions({QStringLiteral("--image")}).error.isEmpty());
        // A file that is not there is a bad command line, said before any window.
        QVERIFY(appconfig::ParseOptions({QStringLiteral("--image"), dir.filePath(QStringLiteral("none.img"))})
                    .error.contains(QStringLiteral("No such image file")));
        QVERIFY(appconfig::UsageText().contains(QStringLiteral("--image FILE")));
    }

    // A table of user actions on a FAT32 card, each with what the markers and
    // controls must show afterwards.
    void handlersRunTheMarkerRule()
    {
        const QByteArray fresh = MakeVolume(QStringLiteral("FAT32"), 40);
        QVERIFY2(!fresh.isEmpty(), "mkfs failed");
        QVERIFY(UseImage(home_.path() + "/wiring.img", fresh));
        struct Step {
            const char* what;
            std::function<void(TfMain&)> act;
            bool label, boot, script, mlGroup;
            const char* bootPlace;
        };
        const Step steps[] = {
            {"ML", [](TfMain& w) { w.sbML->click(); }, true, true, true, true, "0x05C"},
            {"untick label", [](TfMain& w) { w.cbCardLabel->click(); }, false, true, true, false, "0x05C"},
            {"ML again", [](TfMain& w) { w.sbML->click(); }, true, true, true, true, "0x05C"},
            {"ML clears", [](TfMain& w) { w.sbML->click(); }, false, false, false, false, "0x05C"},
            {"CHDK", [](TfMain& w) { w.sbCHDK->click(); }, false, true, false, false, "0x1E0"},
            {"type over the boot string",
             [](TfMain& w) {
                 w.eBootLabel->selectAll();
                 QTest::keyClicks(w.eBootLabel, QStringLiteral("x"));
             },
             false, false, false, false, "0x1E0"},
            {"type BOOT", [](TfMain& w) { QTest::keyClicks(w.eBootLabel, QStringLiteral("boot")); }, false, false,
             false, false, "0x1E0"},
            {"complete it", [](TfMain& w) { QTest::keyClicks(w.eBootLabel, QStringLiteral("disk")); }, false, true,
             false, false, "0x1E0"},
            {"script box", [](TfMain& w) { w.cbScript->click(); }, false, true, true, false, "0x1E0"},
        };
        TfMain w(OfflineOptions());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.markers.layoutIndex, int(core::LayoutFat32));
        for (const Step& step : steps) {
            step.act(w);
            const core::MarkerState& m = w.markers;
            const QString what = QString::fromLatin1(step.what);
            QVERIFY2(m.labelChecked == step.label && w.cbCardLabel->isChecked() == step.label, qPrintable(what));
            QVERIFY2(m.bootChecked == step.boot && w.cbBootLabel->isChecked() == step.boot, qPrintable(what));
            QVERIFY2(m.scriptChecked == step.script && w.cbScript->isChecked() == step.script, qPrintable(what));
            QVERIFY2(w.sbML->isChecked() == (step.label && step.boot), qPrintable(what));
            QVERIFY2(w.gbML->isVisible() == step.mlGroup, qPrintable(what));
            QCOMPARE(w.lBoot->text(), QString::fromLatin1(step.bootPlace));
            // The edits show the places' text, and the buffer holds it.
            const std::string boot(reinterpret_cast<const char*>(m.boot.VBR.data()) + m.boot.BootPos, 8);
            QCOMPARE(w.eBootLabel->text().leftJustified(8, QLatin1Char(' ')), QString::fromLatin1(boot.c_str()));
            QCOMPARE(w.eCardLabel->text(), QString::fromStdString(m.labelText));
            QCOMPARE(w.eScript->text(), QString::fromStdString(m.scriptText));
        }
        // CHDK down exactly with the boot string at 0x1E0.
        QVERIFY(w.sbCHDK->isChecked());
        platform::SetCards(nullptr);
    }

    // Every right press on the Magic Lantern button opens or closes the
    // group, also a second one within the double-click time.
    void rightPressesToggleTheGroupEachTime()
    {
        const QByteArray fresh = MakeVolume(QStringLiteral("FAT16"), 16);
        QVERIFY2(!fresh.isEmpty(), "mkfs failed");
        QVERIFY(UseImage(home_.path() + "/right.img", fresh));
        TfMain w(OfflineOptions());
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QVERIFY(w.gbML->isHidden());
        const QPoint centre = w.sbML->rect().center();
        // A double click arrives as a press, a release and a double-click
        // event in place of the second press.
        QTest::mouseClick(w.sbML, Qt::RightButton, {}, centre);
        QVERIFY(w.gbML->isVisible());
        QTest::mouseDClick(w.sbML, Qt::RightButton, {}, centre);
        QVERIFY2(w.gbML->isHidden(), "the second press of a double click closes the group again");
        QVERIFY(!w.cbCardLabel->isChecked());  // no preset ran
        platform::SetCards(nullptr);
    }

    // What a card's buffer holds after its load is the same in the window,
    // whatever card it showed before, as on the command line.
    void aLoadDoesNotDependOnThePreviousCard()
    {
        const QByteArray fresh = MakeVolume(QStringLiteral("FAT32"), 40);
        QVERIFY2(!fresh.isEmpty(), "mkfs failed");
        QByteArray scripted = fresh;
        scripted.replace(0x1F0, 6, "SCRIPT");
        const QString first = home_.path() + "/first.img", second = home_.path() + "/second.img";
        for (const auto& [path, bytes] : {std::pair{first, scripted}, std::pair{second, fresh}}) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
        }
        std::string why;
        auto cards = platform::WithImages(nullptr, {{first.toStdString(), 0, ""}, {second.toStdString(), 0, ""}}, &why);
        QVERIFY2(cards, why.c_str());
        platform::SetCards(std::move(cards));
        TfMain w(OfflineOptions());
        QCOMPARE(w.cbDrives->count(), 2);
        w.cbDrives->setCurrentIndex(w.cbDrives->findText(QStringLiteral("first.img"), Qt::MatchStartsWith));
        w.cbDrivesChange();
        QVERIFY(w.cbScript->isChecked());
        w.cbDrives->setCurrentIndex(w.cbDrives->findText(QStringLiteral("second.img"), Qt::MatchStartsWith));
        w.cbDrivesChange();
        QVERIFY(!w.cbScript->isChecked());
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(w.markers.boot.VBR.data()) + 0x1F0, 6), fresh.mid(0x1F0, 6));
        std::array<uint8_t, core::kVbrSize> region{};
        std::memcpy(region.data(), fresh.constData(), core::kLoadSectors * core::kSectorSize);
        QVERIFY(w.markers.boot.VBR == core::LoadMarkers(region, core::LayoutFat32).boot.VBR);
        platform::SetCards(nullptr);
    }

    // Save on an image in the window: the boot record is written into the
    // file in place, after a backup, with no root and no loop device.
    void saveWritesAnImageInPlace()
    {
        const QByteArray fresh = MakeVolume(QStringLiteral("FAT32"), 40);
        QVERIFY2(!fresh.isEmpty(), "mkfs failed");
        const QString image = home_.path() + "/save.img";
        QVERIFY(UseImage(image, fresh));
        QFile f(image);
        {
            TfMain w(OfflineOptions());
            QVERIFY(w.bSave->isEnabled());
            w.sbCHDK->click();
            QVERIFY(w.cbBootLabel->isChecked());
            w.bSaveClick();
            QVERIFY2(w.StatusBar->panel(3).text == QStringLiteral(" Write succesful "),
                     qPrintable(w.StatusBar->panel(3).text));
            // The region as it was is kept first.
            QCOMPARE(QDir(QString::fromStdString(w.WorkFolder) + "backups").entryList({QStringLiteral("*.bin")}).size(),
                     1);
        }
        platform::SetCards(nullptr);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray after = f.readAll();
        QCOMPARE(after.size(), fresh.size());
        QCOMPARE(after.mid(0x1E0, 8), QByteArray("BOOTDISK"));
        // Only the boot-string pair changed (0x5C is cleared for the one at
        // 0x1E0), in the boot sector and in its backup (sector 6).
        for (int i = 0; i < fresh.size(); ++i) {
            const int at = i >= 6 * 512 && i < 7 * 512 ? i - 6 * 512 : i;
            if (after[i] != fresh[i])
                QVERIFY2((at >= 0x1E0 && at < 0x1E8) || (at >= 0x5C && at < 0x64),
                         qPrintable(QStringLiteral("byte %1 changed").arg(i)));
        }
        QCOMPARE(after.mid(6 * 512, 512), after.mid(0, 512));
        QCOMPARE(after.mid(0x5C, 8), QByteArray(8, ' '));
    }
};

QTEST_MAIN(PresetsWindowTest)
#include "presets_window_test.moc"
