// The fetch queue and the build lists against a real local web server.
#include "config/appconfig.h"
#include "core/digest.h"
#include "net/httpget.h"
#include "support/testservers.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"

#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

void WriteFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Makes a zip archive at `zip` holding the given files (name, content) with
// the zip tool.
bool MakeZip(const QString& zip, const QList<QPair<QString, QByteArray>>& files)
{
    QTemporaryDir src;
    QStringList names;
    for (const auto& [name, content] : files) {
        QDir().mkpath(QFileInfo(src.filePath(name)).path());
        QFile f(src.filePath(name));
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(content);
        names << name;
    }
    QProcess p;
    p.setWorkingDirectory(src.path());
    p.start(QStringLiteral("zip"), QStringList{QStringLiteral("-q"), QFileInfo(zip).absoluteFilePath()} + names);
    return p.waitForFinished(30000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// Drags one file over the window and drops it; returns whether the window
// accepted the drag.
bool DropFile(TfMain& window, const QString& path)
{
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path)});
    const QPoint at(window.width() / 2, window.height() / 2);
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent drop(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    return drop.isAccepted();
}

appconfig::Options HostOptions(const QString& host)
{
    appconfig::Options options;
    options.catalogueHost = host;
    return options;
}

}  // namespace

class QueueTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir temp_;
    QString www_;
    QString cache_;
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<QTemporaryDir> home_;

    QString Base() const { return server_->http(QStringLiteral("/ML/builds/")); }
    QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(server_->port()); }
    QString Work() const { return cache_ + "/" + QCoreApplication::applicationName() + "001/"; }

private slots:
    void initTestCase()
    {
        QVERIFY(temp_.isValid());
        www_ = temp_.filePath("www");
        WriteFile(www_ + "/ML/builds/small.zip", QByteArray(1000000, 's'));
        WriteFile(www_ + "/ML/builds/big.zip", QByteArray(1000001, 'b'));
        WriteFile(www_ + "/ML/builds/other.zip", QByteArray(3000, 'o'));
        server_ = std::make_unique<TestServer>(QStringLiteral("static_server.py"), QStringList{"--root", www_}, 300);
        QVERIFY(server_->ok());
        WriteFile(www_ + "/ML/develop.inf", ("Small build;" + Base() +
                                             "small.zip;2020.01.01 10:00:00\n"
                                             "Big build;" +
                                             Base() + "big.zip;2020.01.01 10:00:00\n")
                                                .toUtf8());
        WriteFile(www_ + "/ML/legacy.inf", ("Old one;" + Base() + "other.zip;2015.01.01\n").toUtf8());
    }

    void init()
    {
        // A fresh user for every test.
        home_ = std::make_unique<QTemporaryDir>();
        QTemporaryDir* home = home_.get();
        qputenv("XDG_CONFIG_HOME", (home->path() + "/config").toLocal8Bit());
        cache_ = home->path() + "/cache";
        qputenv("XDG_CACHE_HOME", cache_.toLocal8Bit());
    }

    void fetchesInOrderOnceEachWithProgress()
    {
        QSettings(QStringLiteral("Tolvane Software"), QStringLiteral("Flintor")).setValue("lastDev", "big BUILD");
        // Record every completed fetch and what the window shows meanwhile.
        QStringList done;
        QList<qint64> doneAt;
        QStringList labels;
        QList<int> positions;
        QElapsedTimer clock;
        clock.start();
        TfMain* w = nullptr;
        auto watch = [&](TfMain& window) {
            connect(window.HTTP, &THTTPGet::OnDoneFile, this, [&](QObject*, const QString& file, int) {
                done << QFileInfo(file).fileName();
                doneAt << clock.elapsed();
            });
            connect(window.HTTP, &THTTPGet::OnProgress, this, [&](QObject*, int, int) {
                labels << w->lML->text();
                if (w->queue.ActiveKind() == core::FetchKind::DevelopBuild)
                    positions << w->ProgressBar->value();
            });
        };
        TfMain window(HostOptions(Host()));
        w = &window;
        // The first catalogue fetch started inside the constructor; watch the rest.
        watch(window);
        QVERIFY(
            WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; }, 30000));
        // The remembered build is chosen whatever its letter case.
        QCOMPARE(window.cbDevelop->currentText(), QStringLiteral("Big build"));
        QCOMPARE(window.cbNightly->count(), 1);
        QCOMPARE(done, (QStringList{"develop.inf.dl", "legacy.inf.dl", "big.zip"}));
        for (int i = 1; i < doneAt.size(); ++i)
            // (measured after the completion handler, which starts the timer)
            QVERIFY2(doneAt[i] - doneAt[i - 1] >= 90,
                     qPrintable(QStringLiteral("the queue waits 100 ms between fetches: %1 then %2")
                                    .arg(doneAt[i - 1])
                                    .arg(doneAt[i])));
        QVERIFY(fs::exists((Work() + "develop.inf").toStdString()));
        QVERIFY(!fs::exists((Work() + "develop.inf.dl").toStdString()));
        QCOMPARE(QFileInfo(Work() + "big.zip").size(), 1000001);
        // Over 1000000 bytes the label shows the size; the bar only grows.
        QVERIFY(labels.contains(QStringLiteral("Downloading (1.0 MB)")));
        QVERIFY(positions.size() > 900);  // one event per piece of at most 1025 bytes
        for (int i = 1; i < positions.size(); ++i)
            QVERIFY(positions[i] >= positions[i - 1]);
        QCOMPARE(positions.last(), 100);
        QVERIFY(!window.ProgressBar->isVisibleTo(&window));
        QCOMPARE(window.StatusBar->panel(1).text, QStringLiteral(" Q: 0 "));

        // A build of exactly 1000000 bytes only moves the bar.
        labels.clear();
        window.cbDevelop->setCurrentIndex(0);
        window.cbDevelopChange();
        QVERIFY(
            WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; }, 30000));
        QVERIFY(!labels.isEmpty());
        for (const QString& label : labels)
            QVERIFY2(!label.startsWith(QStringLiteral("Downloading (")), qPrintable(label));
        QCOMPARE(window.cbDevelop->toolTip(), QStringLiteral("2020.01.01 10:00:00"));

        // Both archives are now at least as new as the catalogue: choosing
        // again downloads nothing.
        done.clear();
        window.cbDevelop->setCurrentIndex(1);
        window.cbDevelopChange();
        QCOMPARE(window.queue.Count(), 0u);
        QCOMPARE(window.lML->text(), QStringLiteral("ZIP file ready to install"));
        QCOMPARE(window.lZIPname->text(), QStringLiteral("big.zip"));
        Pump(300);
        QVERIFY(done.isEmpty());
    }

    void cachedCataloguesWhenTheServerIsGone()
    {
        // A previous run left catalogues in the work folder.
        WriteFile(Work() + "develop.inf", ("Cached build;" + Base() + "other.zip;2015.01.01\n").toUtf8());
        WriteFile(Work() + "legacy.inf", ("Cached old;" + Base() + "other.zip;2015.01.01\n").toUtf8());
        WriteFile(Work() + "other.zip", QByteArray("already here"));  // current: nothing to download
        QFile::setPermissions(Work(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        TfMain window(HostOptions(QStringLiteral("127.0.0.1:9")));  // nothing listens there
        QVERIFY(WaitFor([&] { return window.queue.Empty() && window.cbNightly->count() == 1; }, 30000));
        QCOMPARE(window.cbDevelop->currentText(), QStringLiteral("Cached build"));
        QVERIFY(window.rbDevelop->isEnabled());
        QVERIFY(window.rbNightly->isEnabled());
        QCOMPARE(window.lML->text(), QStringLiteral("Network error."));
        // The queue's own count update ends the error mode; the text stays.
        QCOMPARE(window.StatusBar->panel(3).text, QStringLiteral(" Network error. 127.0.0.1:9: connection refused"));
        QCOMPARE(window.StatusBar->panel(1).text, QStringLiteral(" Q: 0 "));
    }

    void httpsGoesToTheGetterAndFinishedHeadsAreNotRestarted()
    {
        TfMain window(HostOptions(QStringLiteral("127.0.0.1:9")));
        QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 30000));
        core::THTMLQueue request;
        for (const char* url : {"https://127.0.0.1:9/x.zip", "HTTPS://127.0.0.1:9/x.zip"}) {
            QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 10000));
            request.url = url;
            request.localFile = Work().toStdString() + "x.zip";
            request.binary = true;
            request.kind = core::FetchKind::DevelopBuild;
            window.InsHTMLque(request);
            // The getter runs it in the background, whatever the letter case.
            QVERIFY2(window.HTTP->Busy(), url);
            QVERIFY(WaitFor([&] { return !window.HTTP->Busy(); }, 10000));
            QCOMPARE(window.StatusBar->panel(3).text,
                     QStringLiteral(" Download failed. 127.0.0.1:9: connection refused"));
            // The group tells the outcome too.
            QCOMPARE(window.lML->text(), QStringLiteral("Download failed."));
            QVERIFY(window.lZIPname->isHidden());
        }
        // A request queued before the timer removes the finished head waits
        // for it, and the finished head is never fetched again.
        request.url = server_->http(QStringLiteral("/ML/builds/other.zip")).toStdString();
        request.localFile = Work().toStdString() + "other.zip";
        QStringList done;
        connect(window.HTTP, &THTTPGet::OnDoneFile, this,
                [&](QObject*, const QString& file, int) { done << QFileInfo(file).fileName(); });
        window.InsHTMLque(request);
        QCOMPARE(window.queue.Count(), 2u);
        QVERIFY(!window.HTTP->Busy());
        QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 10000));
        QCOMPARE(done, QStringList{"other.zip"});
    }

    void htmlPageIsNoCatalogueAndTheCacheStays()
    {
        QTemporaryDir root;
        const QByteArray page = "<!DOCTYPE html>\n<html><head><title>Welcome</title></head>\n"
                                "<body><a href=\"x\">x;y;z</a></body></html>\n";
        WriteFile(root.filePath("ML/develop.inf"), page);
        WriteFile(root.filePath("ML/legacy.inf"), page);
        TestServer portal(QStringLiteral("static_server.py"), QStringList{"--root", root.path()}, 120);
        QVERIFY(portal.ok());
        const QByteArray cached = ("Cached build;" + Base() + "other.zip;2015.01.01\n").toUtf8();
        WriteFile(Work() + "develop.inf", cached);
        WriteFile(Work() + "other.zip", QByteArray("already here"));
        QFile::setPermissions(Work(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

        TfMain window(HostOptions(QStringLiteral("127.0.0.1:%1").arg(portal.port())));
        QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 30000));
        // The page's lines are no builds; the cached catalogue is shown and kept.
        QCOMPARE(window.cbDevelop->count(), 1);
        QCOMPARE(window.cbDevelop->currentText(), QStringLiteral("Cached build"));
        QCOMPARE(ReadAll(Work() + "develop.inf"), cached);
        QVERIFY(!QFile::exists(Work() + "develop.inf.dl"));
        // No cache for the legacy list: it stays empty, and nothing is cached.
        QCOMPARE(window.cbNightly->count(), 0);
        QVERIFY(!window.rbNightly->isEnabled());
        QVERIFY(!QFile::exists(Work() + "legacy.inf"));
        QVERIFY(!QFile::exists(Work() + "legacy.inf.dl"));
        QCOMPARE(window.lML->text(), QStringLiteral("Network error."));
        QCOMPARE(window.StatusBar->panel(3).text,
                 QStringLiteral(" Network error. 127.0.0.1:%1: not a build catalogue").arg(portal.port()));
    }

    void digestsDecideWhatIsDownloadedAndInstalled()
    {
        const QByteArray archive = ReadAll(www_ + "/ML/builds/other.zip");
        const QByteArray digest =
            QByteArray::fromStdString(core::Sha256Hex(archive.constData(), static_cast<size_t>(archive.size())));
        QTemporaryDir root;
        WriteFile(root.filePath("ML/develop.inf"),
                  ("Bad digest;" + Base() + "other.zip;2030.01.01;" + QString(64, QLatin1Char('0')) + "\r\n" +
                   "Upper digest;" + Base() + "other.zip;2030.01.01;" + QString::fromLatin1(digest.toUpper()) + "\r\n" +
                   "Malformed digest;" + Base() + "other.zip;2030.01.01;" + QString::fromLatin1(digest.left(40)) +
                   "\r\n")
                      .toUtf8());
        WriteFile(root.filePath("ML/legacy.inf"), ("Old one;" + Base() + "other.zip;2015.01.01\n").toUtf8());
        TestServer catalogues(QStringLiteral("static_server.py"), QStringList{"--root", root.path()}, 120);
        QVERIFY(catalogues.ok());

        TfMain window(HostOptions(QStringLiteral("127.0.0.1:%1").arg(catalogues.port())));
        // The line with a malformed digest is refused.
        QVERIFY(WaitFor([&] { return window.queue.Empty() && window.cbNightly->count() == 1; }, 30000));
        QCOMPARE(window.cbDevelop->count(), 2);
        // The first build's digest is not the archive's: a failed download
        // that leaves nothing in the work folder and says so.
        QCOMPARE(window.cbDevelop->currentText(), QStringLiteral("Bad digest"));
        QCOMPARE(window.lML->text(), QStringLiteral("Download failed."));
        QVERIFY(window.lZIPname->isHidden());
        QCOMPARE(window.StatusBar->panel(3).text,
                 QStringLiteral(" Download failed. 127.0.0.1:%1: SHA-256 digest does not match").arg(server_->port()));
        QVERIFY(!QFile::exists(Work() + "other.zip"));
        QVERIFY(!QFile::exists(Work() + "other.zip.part"));
        QString why;
        QVERIFY(!window.CheckArchiveDigest(Work() + "other.zip", &why));  // nothing there to install

        // The digest in capitals matches.
        window.cbDevelop->setCurrentIndex(1);
        window.cbDevelopChange();
        QVERIFY(
            WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; }, 30000));
        QCOMPARE(ReadAll(Work() + "other.zip"), archive);
        why.clear();
        QVERIFY2(window.CheckArchiveDigest(Work() + "other.zip", &why), qPrintable(why));

        // The cached archive changes after its download: refused before an
        // install, and fetched again when the build is chosen again.
        {
            QFile f(Work() + "other.zip");
            QVERIFY(f.open(QIODevice::Append));
            f.write("!");
        }
        QVERIFY(!window.CheckArchiveDigest(Work() + "other.zip", &why));
        QCOMPARE(why, QStringLiteral("other.zip: SHA-256 digest does not match the catalogue"));
        window.cbDevelopChange();
        QCOMPARE(window.queue.Count(), 1u);
        QVERIFY(
            WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; }, 30000));
        QCOMPARE(ReadAll(Work() + "other.zip"), archive);

        // A build without a digest has nothing to check.
        window.rbNightly->setChecked(true);
        window.rbNightlyClick();
        QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 30000));
        QVERIFY(window.CheckArchiveDigest(Work() + "other.zip", &why));
    }

    void listsReloadFromAnHttpsMirrorWithoutARestart()
    {
        const TestCerts& certs = TestCerts::get();
        QVERIFY(certs.ok());
        ScopedEnv ca("SSL_CERT_FILE", certs.path("ca.crt").toLocal8Bit());
        QTemporaryDir root;
        const QByteArray archive = Pattern(1500000);
        WriteFile(root.filePath("mirror/ML/builds/mirrored.zip"), archive);
        TestServer mirror(QStringLiteral("static_server.py"),
                          QStringList{"--root", root.path(), "--tls-cert", certs.path("server.crt"), "--tls-key",
                                      certs.path("server.key")},
                          120);
        QVERIFY(mirror.ok());
        // The development build's archive is on the mirror too, with its digest.
        const QString digest =
            QString::fromStdString(core::Sha256Hex(archive.constData(), static_cast<size_t>(archive.size())));
        WriteFile(
            root.filePath("mirror/ML/develop.inf"),
            ("Mirrored;" + mirror.https("/mirror/ML/builds/mirrored.zip") + ";2015.01.01;" + digest + "\n").toUtf8());
        WriteFile(root.filePath("mirror/ML/legacy.inf"),
                  ("Mirrored old;" + Base() + "other.zip;2015.01.01\n").toUtf8());

        TfMain window(HostOptions(QStringLiteral("127.0.0.1:9")));
        window.ConnectBuildSources();
        QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 30000));
        QVERIFY(window.developBuilds.empty());
        QVERIFY(window.legacyBuilds.empty());

        // The server is back, now as a mirror over HTTPS: the context menu of
        // Refresh reloads both lists.
        window.catalogueHost = mirror.https(QStringLiteral("/mirror"));
        QAction* reload = window.bRefresh->findChild<QAction*>(QStringLiteral("aReloadBuildLists"));
        QVERIFY(reload);
        QCOMPARE(reload->text(), QStringLiteral("Reload build lists"));
        QVERIFY(window.bRefresh->actions().contains(reload));
        QCOMPARE(window.bRefresh->contextMenuPolicy(), Qt::ActionsContextMenu);
        QList<int> progress;
        connect(window.HTTP, &THTTPGet::OnProgress, this, [&](QObject*, int total, int readed) {
            if (window.queue.ActiveKind() == core::FetchKind::DevelopBuild && total == archive.size())
                progress << readed;
        });
        reload->trigger();
        // Over HTTPS as over HTTP: the getter fetches in the background.
        QVERIFY(window.HTTP->Busy());
        reload->trigger();  // while they are on their way: not queued twice
        QVERIFY(WaitFor([&] { return window.queue.Empty() && window.cbNightly->count() == 1; }, 30000));
        QCOMPARE(window.cbDevelop->currentText(), QStringLiteral("Mirrored"));
        // The chosen build's archive came the same way, every piece reported, digest checked.
        QCOMPARE(window.lML->text(), QStringLiteral("ZIP file ready to install"));
        QCOMPARE(ReadAll(Work() + "mirrored.zip"), archive);
        QVERIFY(progress.size() >= archive.size() / 1025);
        QCOMPARE(progress.last(), archive.size());
        QString why;
        QVERIFY2(window.CheckArchiveDigest(Work() + "mirrored.zip", &why), qPrintable(why));
        QCOMPARE(window.cbNightly->currentText(), QStringLiteral("Mirrored old"));
        QVERIFY(window.rbDevelop->isEnabled());
        QCOMPARE(ReadAll(Work() + "develop.inf"), ReadAll(root.filePath("mirror/ML/develop.inf")));
        // Once only: nothing more arrives.
        QCOMPARE(window.StatusBar->panel(1).text, QStringLiteral(" Q: 0 "));
    }

    void localBuildByOptionAndByDrop()
    {
        QTemporaryDir mine;
        const QString good = mine.filePath("my build.zip");
        const QString noStart = mine.filePath("nostart.zip");
        const QString junk = mine.filePath("junk.zip");
        const QString sameName = mine.filePath("other.zip");
        QVERIFY(MakeZip(good, {{"autoexec.bin", "start"}, {"ML/modules/a.mo", "module"}}));
        QVERIFY(MakeZip(noStart, {{"ML/autoexec.bin", "not at the root"}}));
        QVERIFY(MakeZip(sameName, {{"autoexec.bin", "mine, not the listed one"}}));
        WriteFile(junk, QByteArray(5000, 'j'));
        WriteFile(mine.filePath("notes.txt"), "text");

        TfMain window(HostOptions(Host()));
        window.ConnectBuildSources();
        QVERIFY(window.acceptDrops());
        QVERIFY(
            WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; }, 30000));

        // --build FILE.zip
        const appconfig::Options options = appconfig::ParseOptions({"--build", good});
        QVERIFY(window.UseLocalBuild(options.localBuild));
        QVERIFY(window.LocalBuildChosen());
        QCOMPARE(window.lZIPname->text(), QStringLiteral("my build.zip"));
        QVERIFY(!window.lZIPname->isHidden());
        QCOMPARE(window.lML->text(), QStringLiteral("Local build ready to install"));
        QCOMPARE(window.StatusBar->panel(3).text, QStringLiteral(" Local build chosen: my build.zip "));
        QCOMPARE(ReadAll(Work() + "my build.zip"), ReadAll(good));
        QString why;
        QVERIFY(window.CheckArchiveDigest(Work() + "my build.zip", &why));

        // Archives that cannot be installed are refused; the choice stays.
        QVERIFY(DropFile(window, noStart));
        QVERIFY(window.StatusBar->panel(3).text.startsWith(QStringLiteral(" Not an installable build: nostart.zip")));
        QVERIFY(!window.UseLocalBuild(junk));
        QVERIFY(window.StatusBar->panel(3).text.startsWith(QStringLiteral(" Not an installable build: junk.zip")));
        QVERIFY(!window.UseLocalBuild(mine.filePath("gone.zip")));
        QCOMPARE(window.lZIPname->text(), QStringLiteral("my build.zip"));
        for (const char* left : {"nostart.zip", "nostart.zip.part", "junk.zip", "junk.zip.part"})
            QVERIFY2(!QFile::exists(Work() + left), left);
        // Only a .zip file is taken from a drag.
        QVERIFY(!DropFile(window, mine.filePath("notes.txt")));

        // A drop of an archive named like a listed build's archive.
        QVERIFY(DropFile(window, sameName));
        QCOMPARE(window.lZIPname->text(), QStringLiteral("other.zip"));
        QCOMPARE(ReadAll(Work() + "other.zip"), ReadAll(sameName));
        // A reload of the lists does not take the choice away.
        window.RetryCatalogues();
        QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 30000));
        QCOMPARE(window.lZIPname->text(), QStringLiteral("other.zip"));
        QVERIFY(window.LocalBuildChosen());

        // Choosing the listed build switches back, and the user's copy does
        // not pass for that build's download.
        window.cbNightly->setCurrentIndex(0);
        window.rbNightly->setChecked(true);
        window.rbNightlyClick();
        QVERIFY(!window.LocalBuildChosen());
        QVERIFY(
            WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; }, 30000));
        QCOMPARE(window.lZIPname->text(), QStringLiteral("other.zip"));
        QCOMPARE(ReadAll(Work() + "other.zip"), ReadAll(www_ + "/ML/builds/other.zip"));
    }
};

QTEST_MAIN(QueueTest)
#include "queue_test.moc"
