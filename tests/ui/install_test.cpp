// Unpacking a build onto a card's folder and taking it off again.
#include "config/appconfig.h"
#include "core/fileutil.h"
#include "ui/tfmain.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

appconfig::Options OfflineOptions()
{
    appconfig::Options options;
    options.catalogueHost = QStringLiteral("127.0.0.1:9");
    return options;
}

// Writes an archive with python's zipfile, which takes any entry name (the
// hostile ones too). entries: name -> content; a name ending in "/" is a
// folder entry. All entries carry the date 2019-04-05 06:07:08.
bool MakeZip(const QString& path, const QList<QPair<QString, QByteArray>>& entries)
{
    QString script = QStringLiteral("import sys, zipfile\n"
                                    "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
                                    "args = sys.argv[2:]\n"
                                    "for i in range(0, len(args), 2):\n"
                                    "    info = zipfile.ZipInfo(args[i], (2019, 4, 5, 6, 7, 8))\n"
                                    "    info.compress_type = zipfile.ZIP_DEFLATED\n"
                                    "    z.writestr(info, bytes.fromhex(args[i + 1]))\n"
                                    "z.close()\n");
    QStringList args{QStringLiteral("-c"), script, path};
    for (const auto& entry : entries)
        args << entry.first << QString::fromLatin1(entry.second.toHex());
    QProcess p;
    p.start(QStringLiteral("python3"), args);
    return p.waitForFinished(30000) && p.exitCode() == 0;
}

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

class InstallTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir temp_;
    std::unique_ptr<TfMain> w_;
    QString card_;

private slots:
    void initTestCase()
    {
        QVERIFY(temp_.isValid());
        qputenv("XDG_CONFIG_HOME", (temp_.path() + "/config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", (temp_.path() + "/cache").toLocal8Bit());
        w_ = std::make_unique<TfMain>(OfflineOptions());
    }

    void init()
    {
        // The card: a folder of its own inside a folder that must stay clean.
        card_ = temp_.filePath(QStringLiteral("outside/card%1").arg(QRandomGenerator::global()->generate()));
        QVERIFY(QDir().mkpath(card_));
        w_->CardRoot = card_.toStdString();
    }

    void developmentBuildLeavesFirmwareOut()
    {
        const QString zip = temp_.filePath("dev.zip");
        QVERIFY(MakeZip(zip, {{"autoexec.bin", "12345678Magic Lantern"},
                              {"ML/", ""},
                              {"ML/sub/deep/x.bin", QByteArray(5000, 'x')},
                              {"lone/", ""},
                              {"5D3-123.fir", "fw"},
                              {"UPPER.FIR", "fw"},
                              {"empty.txt", ""}}));
        w_->rbDevelop->setChecked(true);
        QVERIFY(w_->unzipML(zip));
        const std::string root = w_->CardRoot;
        QCOMPARE(Read(root + "/ML/sub/deep/x.bin"), std::string(5000, 'x'));
        QVERIFY(fs::is_directory(root + "/lone"));
        QVERIFY(fs::is_empty(root + "/lone"));
        QVERIFY(!fs::exists(root + "/5D3-123.fir"));
        QVERIFY(fs::exists(root + "/UPPER.FIR"));  // letter case counts
        QVERIFY(fs::exists(root + "/empty.txt"));
        QCOMPARE(fs::file_size(root + "/empty.txt"), 0u);
        QCOMPARE(QString::fromStdString(core::FileDateText(root + "/ML/sub/deep/x.bin")),
                 QStringLiteral("2019.04.05 06:07:08"));
        QCOMPARE(w_->lML->text(), QStringLiteral("ML succesfully installed"));
        QVERIFY(!w_->ProgressBar->isVisibleTo(w_.get()));

        // A legacy build brings its firmware files; existing files are
        // overwritten, also when their name differs in letter case.
        std::ofstream(root + "/AUTOEXEC.BIN") << "old";
        fs::remove(root + "/autoexec.bin");
        w_->rbNightly->setChecked(true);
        QVERIFY(w_->unzipML(zip));
        QVERIFY(fs::exists(root + "/5D3-123.fir"));
        QCOMPARE(Read(root + "/AUTOEXEC.BIN"), std::string("12345678Magic Lantern"));
        QVERIFY(!fs::exists(root + "/autoexec.bin"));
        w_->rbDevelop->setChecked(true);
    }

    void hostileNamesAreNotWritten()
    {
        const QString zip = temp_.filePath("hostile.zip");
        QVERIFY(MakeZip(zip, {{"../escape1.txt", "x"},
                              {"/abs.txt", "x"},
                              {"C:evil.txt", "x"},
                              {"ok/../../escape2.txt", "x"},
                              {"ok\\..\\..\\escape3.txt", "x"},
                              {"ctl\x01name.txt", "x"},
                              {"ok/fine.txt", "fine"}}));
        // One unsafe name makes the whole archive unusable: nothing of it,
        // not even the harmless entries, stays on the card.
        QString seen;
        QTimer::singleShot(50, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            seen = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        QVERIFY(!w_->unzipML(zip));
        QVERIFY2(seen.contains(QStringLiteral("outside the card")), qPrintable(seen));
        QCOMPARE(w_->lML->text(), QStringLiteral("Error in unzipping"));
        const fs::path outside = fs::path(w_->CardRoot).parent_path();
        for (const char* name : {"escape1.txt", "escape2.txt", "escape3.txt", "abs.txt", "evil.txt"}) {
            QVERIFY2(!fs::exists(outside / name), name);
            QVERIFY2(!fs::exists(fs::path("/") / name), name);
        }
        QVERIFY(fs::is_empty(w_->CardRoot));
    }

    void progressRunsFromZeroToHundred()
    {
        QList<QPair<QString, QByteArray>> ten;
        for (int i = 0; i < 10; ++i)
            ten.append({QStringLiteral("f%1.txt").arg(i), QByteArray(10, 'a')});
        const QString zip = temp_.filePath("ten.zip");
        QVERIFY(MakeZip(zip, ten));
        QList<int> seen;
        auto c = connect(w_->ProgressBar, &QProgressBar::valueChanged, this, [&](int v) { seen << v; });
        w_->ProgressBar->setValue(0);
        seen.clear();
        QVERIFY(w_->unzipML(zip));
        QCOMPARE(seen, (QList<int>{11, 22, 33, 44, 55, 66, 77, 88, 100}));

        // One entry: no division by zero, straight to 100.
        const QString one = temp_.filePath("one.zip");
        QVERIFY(MakeZip(one, {{"only.txt", "1"}}));
        w_->ProgressBar->setValue(0);
        seen.clear();
        QVERIFY(w_->unzipML(one));
        QCOMPARE(seen, QList<int>{100});
        disconnect(c);
    }

    void errorsStopTheSaveWithAMessage()
    {
        // A missing archive installs nothing and stops nothing.
        QVERIFY(w_->unzipML(temp_.filePath("none.zip")));

        QString seen;
        auto answer = [&] {
            QTimer::singleShot(50, this, [&] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                QVERIFY(box);
                seen = box->windowTitle() + "|" + box->text();
                box->button(QMessageBox::Ok)->click();
            });
        };
        const QString text = temp_.filePath("text.zip");
        {
            QFile f(text);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("this is not an archive");
        }
        answer();
        QVERIFY(!w_->unzipML(text));
        QCOMPARE(seen, QStringLiteral("Flintor 1.51|No ZIP found"));
        QVERIFY(!w_->ProgressBar->isVisibleTo(w_.get()));

        // A file that cannot be created: its folder is a file on the card.
        std::ofstream(w_->CardRoot + "/blocker") << "a file";
        const QString zip = temp_.filePath("blocked.zip");
        QVERIFY(MakeZip(zip, {{"first.txt", "1"}, {"blocker/inner.txt", "2"}, {"last.txt", "3"}}));
        answer();
        QVERIFY(!w_->unzipML(zip));
        QVERIFY2(seen.startsWith(QStringLiteral("Flintor 1.51|cannot ")) && seen.contains(QStringLiteral("blocker")),
                 qPrintable(seen));
        QVERIFY(!fs::exists(w_->CardRoot + "/first.txt"));  // what was written before is removed again
        QVERIFY(!fs::exists(w_->CardRoot + "/last.txt"));   // the unpacking stopped
        QVERIFY(fs::exists(w_->CardRoot + "/blocker"));     // what the card held before stays
    }
};

QTEST_MAIN(InstallTest)
#include "install_test.moc"
