// The marker controls' outcome as a function (core/markerpresets) against the
// real window: the same card image is loaded into a fresh window and into the
// function, the same buttons and boxes are pressed, and the buffers must
// agree byte for byte. The card is an image file, so no root is needed.
#include "core/markerpresets.h"
#include "platform/images.h"
#include "ui/appconfig.h"
#include "ui/buttonart.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

namespace {

appconfig::Options OfflineOptions()
{
    appconfig::Options options;
    options.catalogueHost = QStringLiteral("127.0.0.1:9");  // refused at once
    return options;
}

struct Action {
    const char* name;
    core::MarkerRequest request;
};

std::vector<Action> Actions()
{
    using core::Preset;
    using core::Switch;
    std::vector<Action> list;
    const auto add = [&](const char* name, Preset preset, Switch label, Switch boot, Switch script) {
        core::MarkerRequest r;
        r.preset = preset;
        r.label = label;
        r.boot = boot;
        r.script = script;
        list.push_back({name, r});
    };
    add("ml", Preset::MagicLantern, Switch::Keep, Switch::Keep, Switch::Keep);
    add("chdk", Preset::Chdk, Switch::Keep, Switch::Keep, Switch::Keep);
    add("none", Preset::Clear, Switch::Keep, Switch::Keep, Switch::Keep);
    add("label on", Preset::Keep, Switch::On, Switch::Keep, Switch::Keep);
    add("label off", Preset::Keep, Switch::Off, Switch::Keep, Switch::Keep);
    add("boot on", Preset::Keep, Switch::Keep, Switch::On, Switch::Keep);
    add("boot off", Preset::Keep, Switch::Keep, Switch::Off, Switch::Keep);
    add("script on", Preset::Keep, Switch::Keep, Switch::Keep, Switch::On);
    add("script off", Preset::Keep, Switch::Keep, Switch::Keep, Switch::Off);
    return list;
}

// What a user does in the window for a request.
void DoInWindow(TfMain& w, const core::MarkerRequest& r)
{
    const auto clickUntil = [](QAbstractButton* button, QCheckBox* box) {
        button->click();
        if (!box->isChecked())
            button->click();
    };
    const auto setBox = [](QCheckBox* box, core::Switch s) {
        if (s != core::Switch::Keep && box->isChecked() != (s == core::Switch::On))
            box->click();
    };
    switch (r.preset) {
    case core::Preset::MagicLantern:
        clickUntil(w.sbML, w.cbCardLabel);
        return;
    case core::Preset::Chdk:
        clickUntil(w.sbCHDK, w.cbBootLabel);
        return;
    case core::Preset::Clear:
        setBox(w.cbCardLabel, core::Switch::Off);
        setBox(w.cbBootLabel, core::Switch::Off);
        setBox(w.cbScript, core::Switch::Off);
        return;
    case core::Preset::Keep:
        break;
    }
    setBox(w.cbCardLabel, r.label);
    setBox(w.cbBootLabel, r.boot);
    setBox(w.cbScript, r.script);
}

QString FirstDifference(const core::BootRecord& window, const core::BootRecord& function)
{
    for (size_t i = 0; i < window.VBR.size(); ++i)
        if (window.VBR[i] != function.VBR[i])
            return QStringLiteral("byte 0x%1: window 0x%2, function 0x%3")
                .arg(i, 0, 16)
                .arg(window.VBR[i], 2, 16, QLatin1Char('0'))
                .arg(function.VBR[i], 2, 16, QLatin1Char('0'));
    if (window.BootPos != function.BootPos || window.LabelPos != function.LabelPos ||
        window.ScriptPos != function.ScriptPos)
        return QStringLiteral("places: window %1/%2/%3, function %4/%5/%6")
            .arg(window.LabelPos)
            .arg(window.BootPos)
            .arg(window.ScriptPos)
            .arg(function.LabelPos)
            .arg(function.BootPos)
            .arg(function.ScriptPos);
    return QString();
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

    // Initial boot regions worth loading: fresh, and carrying markers in the
    // places the window's own rules distinguish.
    std::vector<std::pair<QString, QByteArray>> Variants(const QByteArray& fresh, int layout)
    {
        std::vector<std::pair<QString, QByteArray>> out;
        out.emplace_back(QStringLiteral("fresh"), fresh);
        const core::Layout places = core::SelectLayout(layout == 0 ? "FAT" : layout == 1 ? "FAT32" : "exFAT");
        QByteArray ml = fresh;
        ml.replace(places.labelPos, 11, "EOS_DEVELOP");
        ml.replace(places.bootPos, 8, "BOOTDISK");
        if (places.scriptPos)
            ml.replace(places.scriptPos, 6, "SCRIPT");
        out.emplace_back(QStringLiteral("ml"), ml);
        QByteArray chdk = fresh;
        chdk.replace(0x1E0, 8, "BOOTDISK");
        out.emplace_back(QStringLiteral("boot at 0x1E0"), chdk);
        QByteArray both = ml;
        both.replace(0x1E0, 8, "BOOTDISK");
        out.emplace_back(QStringLiteral("ml and 0x1E0"), both);
        QByteArray noname = fresh;
        noname.replace(places.labelPos, 11, "no name 9  ");
        noname.replace(places.bootPos, 8, "BOOT    ");
        out.emplace_back(QStringLiteral("odd texts"), noname);
        return out;
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

    void windowAndFunctionAgree_data()
    {
        QTest::addColumn<QString>("fsType");
        QTest::addColumn<int>("layout");
        QTest::addColumn<int>("mib");
        QTest::newRow("FAT16") << QStringLiteral("FAT16") << 0 << 16;
        QTest::newRow("FAT32") << QStringLiteral("FAT32") << 1 << 40;
        QTest::newRow("exFAT") << QStringLiteral("exFAT") << 2 << 24;
    }

    void windowAndFunctionAgree()
    {
        QFETCH(QString, fsType);
        QFETCH(int, layout);
        QFETCH(int, mib);
        const QByteArray fresh = MakeVolume(fsType, mib);
        QVERIFY2(!fresh.isEmpty(), "mkfs failed");
        const QString image = home_.path() + "/card.img";
        int compared = 0;
        for (const auto& [variant, bytes] : Variants(fresh, layout)) {
            for (const Action& action : Actions()) {
                const QString what = fsType + " " + variant + " " + QLatin1String(action.name);
                QVERIFY(UseImage(image, bytes));

                TfMain w(OfflineOptions());
                QCOMPARE(w.fileSystemIndex, layout);
                std::array<uint8_t, core::kVbrSize> region{};
                std::memcpy(region.data(), bytes.constData(), core::kLoadSectors * core::kSectorSize);
                core::MarkerState state = core::LoadMarkers(region, layout);
                QString diff = FirstDifference(w.boot, state.boot);
                QVERIFY2(diff.isEmpty(), qPrintable(what + " after the load: " + diff));
                // The function's other entry: a buffer the window loaded.
                diff = FirstDifference(core::StateOf(w.boot, layout).boot, state.boot);
                QVERIFY2(diff.isEmpty(), qPrintable(what + " read back from the loaded buffer: " + diff));

                std::string refused;
                const bool done = core::ApplyMarkers(&state, action.request, &refused);
                const core::BootRecord beforeClicks = w.boot;
                const bool scriptOnExFat = layout == 2 && action.request.script != core::Switch::Keep;
                if (!scriptOnExFat)  // the window's script box is disabled there
                    DoInWindow(w, action.request);
                if (!done) {
                    // What the function refuses, the window does not change.
                    diff = FirstDifference(w.boot, beforeClicks);
                    QVERIFY2(diff.isEmpty(), qPrintable(what + " (refused: " + QString::fromStdString(refused) +
                                                        ") changed the window: " + diff));
                    continue;
                }
                diff = FirstDifference(w.boot, state.boot);
                QVERIFY2(diff.isEmpty(), qPrintable(what + ": " + diff));
                QCOMPARE(w.cbCardLabel->isChecked(), state.labelChecked);
                QCOMPARE(w.cbBootLabel->isChecked(), state.bootChecked);
                QCOMPARE(w.cbScript->isChecked(), state.scriptChecked);
                QCOMPARE(w.sbML->isChecked(), state.mlDown);
                // What Save writes: the place pair on top.
                core::BootRecord saved = w.boot;
                saved.ApplyPlacePair(w.fileSystemIndex);
                diff = FirstDifference(saved, core::ForSave(state));
                QVERIFY2(diff.isEmpty(), qPrintable(what + " as saved: " + diff));
                ++compared;
            }
        }
        QVERIFY(compared >= 30);
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
