// A new user's whole flow on a FAT32 and on an exFAT card: both build lists
// fill from a local catalogue server, a development build is downloaded, the
// Magic Lantern button and Save make the card bootable and unpack the build;
// the button again, Save and Yes take it all off again.
#include "config/appconfig.h"
#include "core/fileutil.h"
#include "loopcard.h"
#include "support/testservers.h"
#include "ui/buttonart.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string Text(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

int Run(const QString& program, const QStringList& args, const QString& dir = QString())
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(120000))
        return -1;
    if (p.exitCode() != 0)
        qWarning().noquote() << program << args.join(' ') << "->" << p.readAll();
    return p.exitCode();
}

// Answers the next modal message box with the given button.
void AnswerNextBox(QMessageBox::StandardButton answer, QString* seenText)
{
    QTimer::singleShot(50, [answer, seenText] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            AnswerNextBox(answer, seenText);
            return;
        }
        *seenText = box->windowTitle() + "|" + box->text();
        box->button(answer)->click();
    });
}

// fsck.exfat of a copy of the device taken now: exfat-fuse rewrites the boot
// sector from its own copy when it unmounts, so the device is checked as the
// program left it.
int CheckExFatCopy(const testsupport::LoopCard& card, const QString& folder)
{
    ::sync();
    const QString copy = folder + "/exfat-copy.img";
    if (Run("dd", {"if=" + QString::fromStdString(card.device()), "of=" + copy, "bs=1M", "status=none"}) != 0)
        return -1;
    const int rc = Run("fsck.exfat", {"-n", copy});
    QFile::remove(copy);
    return rc;
}

}  // namespace

class WholeFlowTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir temp_;
    QString www_;

    void MakeBuildArchive()
    {
        const QString src = temp_.filePath("src");
        QDir().mkpath(src + "/ML/MODULES");
        QDir().mkpath(src + "/ML/DATA/FONTS");
        QDir().mkpath(src + "/ML/SCRIPTS");
        auto write = [&](const QString& rel, const QByteArray& data) {
            QFile f(src + "/" + rel);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
        };
        QByteArray autoexec("\x00\x01\x02\x03\x04\x05\x06\x07", 8);
        autoexec += QByteArray("Magic Lantern test build");
        autoexec.append('\0');
        autoexec += QByteArray(5000, 'x');
        write("autoexec.bin", autoexec);
        write("ML/MODULES/A.MO", QByteArray(20000, 'm'));
        write("ML/DATA/FONTS/B.DAT", QByteArray("font data"));
        write("README.pdf", QByteArray("%PDF-1.4 test"));
        write("5D3-123.fir", QByteArray("firmware"));
        QVERIFY(Run("touch", {"-d", "2021-03-04 05:06:08", src + "/ML/MODULES/A.MO"}) == 0);
        QDir().mkpath(www_ + "/ML/builds");
        QVERIFY(
            Run("zip",
                {"-q", "-r", "-X", www_ + "/ML/builds/ml-test.zip", "autoexec.bin", "ML", "README.pdf", "5D3-123.fir"},
                src) == 0);
    }

    void WriteCatalogues(int port)
    {
        const QString base = QStringLiteral("http://127.0.0.1:%1/ML/builds/").arg(port);
        QFile dev(www_ + "/ML/develop.inf");
        QVERIFY(dev.open(QIODevice::WriteOnly));
        dev.write(("ML test build;" + base + "ml-test.zip;2020.01.01 10:00:00\r\n").toUtf8());
        dev.write(("Older build;" + base + "older.zip;2019.01.01\r\n").toUtf8());
        QFile legacy(www_ + "/ML/legacy.inf");
        QVERIFY(legacy.open(QIODevice::WriteOnly));
        legacy.write(("Legacy nightly;" + base + "ml-test.zip;2018.05.05 05:05:04\n").toUtf8());
    }

    void RunFlow(const std::string& fsType)
    {
        const std::string reason = testsupport::RequireLoopAndFuse();
        if (!reason.empty()) {
            if (testsupport::InCI())
                QFAIL(("CI needs loop devices and FUSE: " + reason).c_str());
            QSKIP(reason.c_str());
        }
        // A fresh user: no settings, an empty work folder.
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (home.path() + "/cache").toLocal8Bit());

        testsupport::LoopCard card;
        QVERIFY2(card.Create({fsType, "EOS_DIGITAL", 64ull << 20, false}), card.error().c_str());
        QVERIFY2(card.Mount(), card.error().c_str());
        const std::string root = card.mountPoint();
        fs::create_directories(root + "/DCIM/100CANON");
        std::ofstream(root + "/DCIM/100CANON/IMG_0001.JPG", std::ios::binary) << "a picture";

        TestServer server(QStringLiteral("static_server.py"), {QStringLiteral("--root"), www_}, 300);
        QVERIFY(server.ok());
        WriteCatalogues(server.port());

        const appconfig::Options options =
            appconfig::ParseOptions({QStringLiteral("--include-loop"), QStringLiteral("--catalogue-host"),
                                     QStringLiteral("127.0.0.1:%1").arg(server.port())});
        QVERIFY(options.error.isEmpty());
        TfMain w(options);
        w.show();

        // The card is listed and its boot record loaded. (Other cards of the
        // machine may be listed too; then the user picks this one.)
        const QString ours =
            QString::fromStdString(card.name()) + ": EOS_DIGITAL [" + QString::fromStdString(fsType) + "] 67 MB";
        const int index = w.cbDrives->findText(ours);
        QVERIFY2(index >= 0, qPrintable(ours));
        if (w.cbDrives->currentIndex() != index) {
            w.cbDrives->setCurrentIndex(index);
            w.cbDrivesChange();
        }
        QVERIFY(w.bSave->isEnabled());

        // Both lists fill; the chosen development build arrives.
        QVERIFY(WaitFor([&] { return w.queue.Empty() && w.cbNightly->count() == 1; }, 60000));
        QCOMPARE(w.cbDevelop->count(), 2);
        QCOMPARE(w.cbDevelop->currentText(), QStringLiteral("ML test build"));
        QCOMPARE(w.lML->text(), QStringLiteral("ZIP file ready to install"));
        QCOMPARE(w.lZIPname->text(), QStringLiteral("ml-test.zip"));
        QVERIFY(w.rbNightly->isEnabled());
        QVERIFY(fs::exists(w.WorkFolder + "develop.inf"));
        QVERIFY(fs::exists(w.WorkFolder + "ml-test.zip"));
        QCOMPARE(w.StatusBar->panel(1).text, QStringLiteral(" Q: 0 "));

        // Magic Lantern, then Save.
        QTest::mouseClick(w.sbML, Qt::LeftButton);
        QVERIFY(w.sbML->isChecked());
        QVERIFY(w.cbCardLabel->isChecked() && w.cbBootLabel->isChecked());
        QVERIFY(w.gbML->isVisibleTo(&w));
        QTest::mouseClick(w.bSave, Qt::LeftButton);
        QCOMPARE(w.StatusBar->panel(3).text, QStringLiteral(" Write succesful "));
        QCOMPARE(w.lML->text(), QStringLiteral("ML succesfully installed"));
        const QByteArray shots = qgetenv("FLINTOR_SCREENSHOT_DIR");
        if (!shots.isEmpty())
            w.grab().save(QString::fromLocal8Bit(shots) + "/flow-" + QString::fromStdString(fsType) + ".png");

        const std::vector<uint8_t> sector = card.ReadDevice(0, 512);
        if (fsType == "exFAT") {
            QCOMPARE(Text(card.ReadDevice(0x82, 11)), std::string("EOS_DEVELOP"));
            QCOMPARE(Text(card.ReadDevice(0x7A, 8)), std::string("BOOTDISK"));
            QCOMPARE(CheckExFatCopy(card, home.path()), 0);
        } else {
            QCOMPARE(Text(card.ReadDevice(0x47, 11)), std::string("EOS_DEVELOP"));
            QCOMPARE(Text(card.ReadDevice(0x5C, 8)), std::string("BOOTDISK"));
            QCOMPARE(Text(card.ReadDevice(0x1F0, 6)), std::string("SCRIPT"));
            QCOMPARE(Text(card.ReadDevice(0x1E0, 8)), std::string(8, ' '));
        }
        QCOMPARE(sector[510], 0x55);
        QCOMPARE(sector[511], 0xAA);

        // The card was mounted in user space, so Save unmounted it before
        // writing its boot record and mounted it again after.
        QCOMPARE(w.CardRoot, root);
        QVERIFY2(card.Mount(), card.error().c_str());
        QCOMPARE(card.mountPoint(), root);
        w.cbDrivesChange();
        QVERIFY(w.sbML->isChecked());

        // The build is on the card, without the firmware file.
        QVERIFY(core::FileExistsNoCase(root, "autoexec.bin"));
        QVERIFY(core::FileExistsNoCase(root, "ML/MODULES/A.MO"));
        QVERIFY(core::FileExistsNoCase(root, "ML/DATA/FONTS/B.DAT"));
        QVERIFY(core::FolderExistsNoCase(root, "ML/SCRIPTS"));
        QVERIFY(core::FileExistsNoCase(root, "README.pdf"));
        QVERIFY(core::ListFiles(root, "*.fir").empty());
        QCOMPARE(w.lAutoexecOK->text(), QStringLiteral("OK"));
        QVERIFY(w.lAutoexecOK->toolTip().startsWith(QStringLiteral("Magic Lantern test build\nDate: ")));
        QCOMPARE(w.lMLdirOK->text(), QStringLiteral("OK"));
        if (fsType == "exFAT") {
            // The archive's time is given to the written file.
            QCOMPARE(QString::fromStdString(core::FileDateText(core::ResolveNoCase(root, "ML/MODULES/A.MO"))),
                     QStringLiteral("2021.03.04 05:06:08"));
        }
        {
            std::ifstream in(core::ResolveNoCase(root, "ML/MODULES/A.MO"), std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            QCOMPARE(content, std::string(20000, 'm'));
        }

        // The button again clears the markers; Save asks and removes.
        QTest::mouseClick(w.sbML, Qt::LeftButton);
        QVERIFY(!w.sbML->isChecked());
        QVERIFY(!w.cbCardLabel->isChecked() && !w.cbBootLabel->isChecked() && !w.cbScript->isChecked());
        QString asked;
        AnswerNextBox(QMessageBox::Yes, &asked);
        QTest::mouseClick(w.bSave, Qt::LeftButton);
        QCOMPARE(asked, QStringLiteral("Confirm|Do you want to remove ML files from the card?"));
        QCOMPARE(w.StatusBar->panel(3).text, QStringLiteral(" Write succesful "));
        QVERIFY2(card.Mount(), card.error().c_str());
        QVERIFY(!core::FileExistsNoCase(root, "autoexec.bin"));
        QVERIFY(!core::FolderExistsNoCase(root, "ML"));
        QVERIFY(core::ListFiles(root, "*.pdf").empty());
        QVERIFY(core::FileExistsNoCase(root, "DCIM/100CANON/IMG_0001.JPG"));
        {
            std::ifstream in(core::ResolveNoCase(root, "DCIM/100CANON/IMG_0001.JPG"), std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            QCOMPARE(content, std::string("a picture"));
        }
        if (fsType == "exFAT") {
            QCOMPARE(Text(card.ReadDevice(0x82, 11)), std::string(11, ' '));
            QCOMPARE(Text(card.ReadDevice(0x7A, 8)), std::string(8, ' '));
            QCOMPARE(CheckExFatCopy(card, home.path()), 0);
        } else {
            QCOMPARE(Text(card.ReadDevice(0x47, 11)), std::string(11, ' '));
            QCOMPARE(Text(card.ReadDevice(0x5C, 8)), std::string(8, ' '));
            QCOMPARE(Text(card.ReadDevice(0x1F0, 6)), std::string(6, ' '));
        }
        w.cbDrivesChange();
        QCOMPARE(w.lAutoexecOK->text(), QStringLiteral("-"));
        QCOMPARE(w.lDCIMsize->text(), QStringLiteral("OK"));
        w.close();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp_.isValid());
        www_ = temp_.filePath("www");
        MakeBuildArchive();
    }
    void fat32Card() { RunFlow("FAT32"); }
    void exFatCard() { RunFlow("exFAT"); }
};

QTEST_MAIN(WholeFlowTest)
#include "whole_flow_test.moc"
