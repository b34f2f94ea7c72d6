// The fetch queue and the build lists against a real local web server.
#include "net/httpget.h"
#include "testservers.h"
#include "ui/appconfig.h"
#include "ui/statusbar.h"
#include "ui/tfmain.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
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
        WriteFile(www_ + "/ML/develop.inf",
                  ("Small build;" + Base() + "small.zip;2020.01.01 10:00:00\n"
                   "Big build;" + Base() + "big.zip;2020.01.01 10:00:00\n")
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
                if (w->queue.ActiveKind() == core::KindDevelopBuild)
                    positions << w->ProgressBar->value();
            });
        };
        TfMain window(HostOptions(Host()));
        w = &window;
        // The first catalogue fetch started inside the constructor; watch the rest.
        watch(window);
        QVERIFY(WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; },
                        30000));
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
        QVERIFY(WaitFor([&] { return window.queue.Empty() && window.lML->text() == "ZIP file ready to install"; },
                        30000));
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
        QCOMPARE(window.StatusBar->panel(3).text, QStringLiteral(" Network error."));
        QCOMPARE(window.StatusBar->panel(1).text, QStringLiteral(" Q: 0 "));
    }

    void upperCaseHttpsGoesToTheGetterAndFinishedHeadsAreNotRestarted()
    {
        TfMain window(HostOptions(QStringLiteral("127.0.0.1:9")));
        QVERIFY(WaitFor([&] { return window.queue.Empty(); }, 30000));
        core::THTMLQueue request;
        request.url = "HTTPS://127.0.0.1:9/x.zip";
        request.localFile = Work().toStdString() + "x.zip";
        request.binary = true;
        request.kind = core::KindDevelopBuild;
        window.InsHTMLque(request);
        // Not the blocking HTTPS download: the getter runs in the background.
        QVERIFY(window.HTTP->Busy());
        QVERIFY(WaitFor([&] { return !window.HTTP->Busy(); }, 10000));
        QCOMPARE(window.StatusBar->panel(3).text, QStringLiteral(" Download failed."));
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
};

QTEST_MAIN(QueueTest)
#include "queue_test.moc"
