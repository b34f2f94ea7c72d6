#include "core/digest.h"
#include "net/httpget.h"
#include "support/testservers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

struct Progress {
    int total;
    int readed;
};

// Records every event one getter raises.
struct Recorder : QObject {
    std::vector<Progress> progress;
    int doneFile = 0, doneString = 0, errors = 0;
    QString fileName;
    int fileSize = -1;
    QByteArray result;
    QObject* lastSender = nullptr;

    explicit Recorder(THTTPGet* g)
    {
        QObject::connect(g, &THTTPGet::OnProgress, this, [this](QObject*, int t, int r) {
            progress.push_back({t, r});
        });
        QObject::connect(g, &THTTPGet::OnDoneFile, this, [this](QObject* s, const QString& f, int n) {
            ++doneFile;
            fileName = f;
            fileSize = n;
            lastSender = s;
        });
        QObject::connect(g, &THTTPGet::OnDoneString, this, [this](QObject* s, const QByteArray& r) {
            ++doneString;
            result = r;
            lastSender = s;
        });
        QObject::connect(g, &THTTPGet::OnError, this, [this](QObject* s) {
            ++errors;
            lastSender = s;
        });
    }
    int completions() const { return doneFile + doneString + errors; }
    bool waitDone(int ms = 15000)
    {
        return WaitFor([this] { return completions() > 0; }, ms);
    }
};

class HttpGetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = new TestServer("fault_server.py", {}); }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server_->ok()) << "fault server did not start"; }

    QString target(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }
    QStringList leftovers() const { return QDir(dir_.path()).entryList(QDir::Files); }

    static TestServer* server_;
    QTemporaryDir dir_;
};
TestServer* HttpGetTest::server_ = nullptr;

TEST_F(HttpGetTest, FileFetchReportsEveryChunkAndWritesTheWholeBody)
{
    THTTPGet get;
    Recorder rec(&get);
    get.URL = server_->http("/data?size=5000");
    get.FileName = target("out.bin");
    get.FetchFile();
    EXPECT_TRUE(get.Busy());
    ASSERT_TRUE(rec.waitDone());

    EXPECT_EQ(rec.doneFile, 1);
    EXPECT_EQ(rec.errors, 0);
    EXPECT_EQ(rec.lastSender, &get);
    EXPECT_EQ(rec.fileName, target("out.bin"));
    EXPECT_EQ(rec.fileSize, 5000);
    EXPECT_TRUE(get.LastSucceeded());
    EXPECT_FALSE(get.Busy());

    // One event per piece of at most 1025 bytes, growing, with a fixed total.
    ASSERT_GE(rec.progress.size(), 5u);
    int previous = 0;
    for (const Progress& p : rec.progress) {
        EXPECT_EQ(p.total, 5000);
        EXPECT_GT(p.readed, previous);
        EXPECT_LE(p.readed - previous, 1025);
        previous = p.readed;
    }
    EXPECT_EQ(rec.progress.back().readed, 5000);

    QFile f(target("out.bin"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), Pattern(5000));
    EXPECT_EQ(leftovers(), QStringList{"out.bin"});
}

TEST_F(HttpGetTest, StaticServerUpperCaseSchemeAndExplicitPort)
{
    QTemporaryDir root;
    QFile page(root.filePath("develop.inf"));
    ASSERT_TRUE(page.open(QIODevice::WriteOnly));
    page.write("Build A;http://x/a.zip;2024.01.02 03:04:06\r\n");
    page.close();
    TestServer web("static_server.py", {"--root", root.path()});
    ASSERT_TRUE(web.ok());

    THTTPGet get;
    Recorder rec(&get);
    get.URL = QStringLiteral("HTTP://127.0.0.1:%1/develop.inf").arg(web.port());
    get.FetchString();
    ASSERT_TRUE(rec.waitDone());
    EXPECT_EQ(rec.doneString, 1);
    EXPECT_EQ(rec.result, QByteArray("Build A;http://x/a.zip;2024.01.02 03:04:06\r\n"));
}

TEST_F(HttpGetTest, FailedFetchesEndWithOneErrorAndKeepTheOlderFile)
{
    const int closedPort = [] {
        // A bound socket that never listens: connecting to it is refused.
        static int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return static_cast<int>(ntohs(a.sin_port));
    }();

    // Each failure also says why, in words the status bar shows. Every fetch
    // runs under these limits unless its case gives its own.
    using flintor::net::FetchLimits;
    struct Case {
        const char* what;
        QString url;
        bool binary;
        const char* cause;
        FetchLimits limits = {1 << 20, 20000, 1000};
    };
    const std::vector<Case> cases = {
        {"404 with a body", server_->http("/notfound"), false, "not found (HTTP 404)"},
        {"short body", server_->http("/short"), false, "incomplete answer"},
        {"connection reset", server_->http("/reset"), false, ""},
        {"connection refused", QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort), false, "connection refused"},
        {"slow answer past the time-out", server_->http("/slow?seconds=8"), false, "timed out"},
        {"no Content-Length, binary", server_->http("/nolength?size=3000"), true, "answer without Content-Length"},
        {"no Content-Length, body not empty", server_->http("/nolength?size=3000"), false, "incomplete answer"},
        {"too many redirects", server_->http("/chain/6"), false, "too many redirects"},
        {"401 without credentials", server_->http("/auth"), false, "HTTP status 401"},
        {"scheme not http", QStringLiteral("file:///etc/hostname"), false, ""},
        // An endless or trickling answer ends at the size cap or the deadline.
        {"endless answer",
         server_->http("/endless"),
         false,
         "answer larger than the size limit of 256 KiB",
         {256 * 1024, 20000, 1000}},
        {"length above the cap",
         server_->http("/endless?length=17179869184"),
         true,
         "answer larger than the size limit of 256 KiB",
         {256 * 1024, 20000, 1000}},
        {"trickling answer",
         server_->http("/trickle?ms=200"),
         false,
         "not complete within the time limit of 1500 ms",
         {1 << 20, 1500, 1000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile old(target("f.bin"));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("older catalogue");
        old.close();
        THTTPGet get;
        Recorder rec(&get);
        get.URL = c.url;
        get.BinaryData = c.binary;
        get.Limits = c.limits;
        get.FileName = target("f.bin");
        get.FetchFile();
        ASSERT_TRUE(rec.waitDone());
        Pump(50);
        EXPECT_EQ(rec.errors, 1);
        EXPECT_EQ(rec.doneFile, 0);
        EXPECT_FALSE(get.LastSucceeded());
        EXPECT_FALSE(get.ErrorText().isEmpty());
        EXPECT_TRUE(get.ErrorText().startsWith(QString::fromLatin1(c.cause))) << get.ErrorText().toStdString();
        EXPECT_EQ(leftovers(), QStringList{"f.bin"});
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), QByteArray("older catalogue"));
        if (c.binary) {
            EXPECT_TRUE(rec.progress.empty());  // not read at all
        }
        for (const Progress& p : rec.progress)
            ASSERT_LE(p.readed, c.limits.maxBytes);
    }
}

TEST_F(HttpGetTest, ExpectedDigestDecidesWhetherTheFileIsTaken)
{
    const QByteArray body = Pattern(70000);  // more than one read block
    const QString digest = QString::fromStdString(core::Sha256Hex(body.constData(), static_cast<size_t>(body.size())));
    struct Case {
        const char* what;
        QString expected;
        bool ok;
    };
    const std::vector<Case> cases = {
        {"matching, lower case", digest, true},
        {"matching, upper case", digest.toUpper(), true},
        {"another body's digest", QString(64, QLatin1Char('0')), false},
        {"not a digest", digest.left(63), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QFile old(target("b.zip"));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("older archive");
        old.close();
        THTTPGet get;
        Recorder rec(&get);
        get.URL = server_->http("/data?size=70000");
        get.FileName = target("b.zip");
        get.BinaryData = true;
        get.ExpectedSha256 = c.expected;
        get.FetchFile();
        ASSERT_TRUE(rec.waitDone());
        EXPECT_EQ(rec.doneFile, c.ok ? 1 : 0);
        EXPECT_EQ(rec.errors, c.ok ? 0 : 1);
        // Only the archive itself: a rejected body leaves no ".part" behind.
        EXPECT_EQ(leftovers(), QStringList{"b.zip"});
        ASSERT_TRUE(old.open(QIODevice::ReadOnly));
        EXPECT_EQ(old.readAll(), c.ok ? body : QByteArray("older archive"));
        old.close();
        if (!c.ok) {
            EXPECT_EQ(get.ErrorText(), QStringLiteral("SHA-256 digest does not match"));
        }
    }
}

TEST_F(HttpGetTest, WorkerWaitsForTheEventsOfWhatItHandedOver)
{
    // The handler of the first event takes its time; meanwhile the worker
    // must not read on, so the file holds at most the one block (1 MiB)
    // whose pieces are being reported.
    THTTPGet get;
    Recorder rec(&get);
    qint64 writtenDuringFirstEvent = -1;
    int firstReaded = 0;
    QObject::connect(&get, &THTTPGet::OnProgress, &rec, [&](QObject*, int, int readed) {
        if (writtenDuringFirstEvent >= 0)
            return;
        firstReaded = readed;
        QThread::msleep(300);
        writtenDuringFirstEvent = QFileInfo(target("w.zip.part")).size();
    });
    get.URL = server_->http("/data?size=3500000");
    get.FileName = target("w.zip");
    get.FetchFile();
    ASSERT_TRUE(rec.waitDone());
    EXPECT_EQ(rec.doneFile, 1);
    EXPECT_GT(firstReaded, 0);
    EXPECT_LE(firstReaded, 1025);
    EXPECT_GT(writtenDuringFirstEvent, 0);
    EXPECT_LE(writtenDuringFirstEvent, 1 << 20);
    ASSERT_FALSE(rec.progress.empty());
    EXPECT_EQ(rec.progress.back().readed, 3500000);
}

TEST_F(HttpGetTest, AnswersWithoutContentLength)
{
    {
        SCOPED_TRACE("string fetch succeeds when bytes arrived");
        THTTPGet get;
        Recorder rec(&get);
        get.URL = server_->http("/nolength?size=3000");
        get.FetchString();
        ASSERT_TRUE(rec.waitDone());
        EXPECT_EQ(rec.doneString, 1);
        EXPECT_EQ(rec.result, Pattern(3000));
        ASSERT_FALSE(rec.progress.empty());
        EXPECT_EQ(rec.progress.front().total, 0);
        EXPECT_EQ(rec.progress.back().readed, 3000);
    }
    {
        SCOPED_TRACE("file fetch of an empty body succeeds with size 0");
        THTTPGet get;
        Recorder rec(&get);
        get.URL = server_->http("/nolength?size=0");
        get.FileName = target("empty.inf");
        get.FetchFile();
        ASSERT_TRUE(rec.waitDone());
        EXPECT_EQ(rec.doneFile, 1);
        EXPECT_EQ(rec.fileSize, 0);
        EXPECT_TRUE(QFile::exists(target("empty.inf")));
        EXPECT_EQ(QFile(target("empty.inf")).size(), 0);
    }
    {
        SCOPED_TRACE("string fetch of an empty body fails");
        THTTPGet get;
        Recorder rec(&get);
        get.URL = server_->http("/nolength?size=0");
        get.FetchString();
        ASSERT_TRUE(rec.waitDone());
        EXPECT_EQ(rec.errors, 1);
    }
}

TEST_F(HttpGetTest, RedirectsAreFollowedUpToFive)
{
    for (const char* path : {"/redirect", "/chain/5"}) {
        SCOPED_TRACE(path);
        THTTPGet get;
        Recorder rec(&get);
        get.URL = server_->http(QString::fromLatin1(path));
        get.FetchString();
        ASSERT_TRUE(rec.waitDone());
        EXPECT_EQ(rec.doneString, 1);
        EXPECT_EQ(rec.result, Pattern(QByteArray(path) == "/redirect" ? 100 : 10));
    }
}

TEST_F(HttpGetTest, RequestCarriesTheConfiguredHeaders)
{
    THTTPGet get;
    Recorder rec(&get);
    get.URL = server_->http("/echo");
    get.AcceptTypes = QStringLiteral("text/plain");
    get.Referer = QStringLiteral("http://referrer.invalid/page");
    get.UserName = QStringLiteral("user");
    get.Password = QStringLiteral("secret");
    get.FetchString();
    ASSERT_TRUE(rec.waitDone());
    ASSERT_EQ(rec.doneString, 1);
    const QByteArray& r = rec.result;
    EXPECT_TRUE(r.startsWith("GET /echo HTTP/1.0\r\n")) << r.toStdString();
    EXPECT_TRUE(r.contains("\r\nUser-Agent: Flintor HTTPGet\r\n")) << r.toStdString();
    EXPECT_TRUE(r.contains("\r\nAccept: text/plain\r\n")) << r.toStdString();
    EXPECT_TRUE(r.contains("\r\nReferer: http://referrer.invalid/page\r\n")) << r.toStdString();
    EXPECT_TRUE(r.contains("\r\nCache-Control: no-cache\r\n")) << r.toStdString();
    EXPECT_TRUE(r.contains("\r\nPragma: no-cache\r\n")) << r.toStdString();
    EXPECT_TRUE(r.contains("\r\nAuthorization: Basic dXNlcjpzZWNyZXQ=\r\n")) << r.toStdString();

    // Allowing the cache drops the reload headers; a post query makes a form POST.
    THTTPGet post;
    Recorder prec(&post);
    post.URL = server_->http("/echo");
    post.UseCache = true;
    post.PostQuery = QStringLiteral("a=1&b=two");
    post.FetchString();
    ASSERT_TRUE(prec.waitDone());
    ASSERT_EQ(prec.doneString, 1);
    const QByteArray& p = prec.result;
    EXPECT_TRUE(p.startsWith("POST /echo HTTP/1.0\r\n")) << p.toStdString();
    EXPECT_TRUE(p.contains("\r\nContent-Type: application/x-www-form-urlencoded\r\n")) << p.toStdString();
    EXPECT_TRUE(p.endsWith("\r\n\r\na=1&b=two")) << p.toStdString();
    EXPECT_FALSE(p.contains("no-cache")) << p.toStdString();
}

TEST_F(HttpGetTest, CancelDuringTheReadEndsWithOneErrorAndNoFile)
{
    THTTPGet get;
    Recorder rec(&get);
    QObject::connect(&get, &THTTPGet::OnProgress, &rec, [&get](QObject*, int, int readed) {
        if (readed >= 3 * 1025)
            get.Cancel();
    });
    get.URL = server_->http("/data?size=400000");
    get.FileName = target("big.zip");
    get.FetchFile();
    ASSERT_TRUE(rec.waitDone());
    Pump(200);
    EXPECT_EQ(rec.errors, 1);
    EXPECT_EQ(rec.doneFile, 0);
    EXPECT_LT(rec.progress.back().readed, 400000);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(",").toStdString();
}

TEST_F(HttpGetTest, StartWhileBusyIsIgnored)
{
    THTTPGet get;
    Recorder rec(&get);
    bool restartedInHandler = false;
    QObject::connect(&get, &THTTPGet::OnDoneFile, &rec, [&] {
        // Still busy inside the completion handler: this start is ignored too.
        get.URL = server_->http("/data?size=10");
        get.FileName = target("third.bin");
        get.FetchFile();
        restartedInHandler = true;
    });
    get.URL = server_->http("/data?size=20000&ms=20");
    get.FileName = target("first.bin");
    get.FetchFile();
    get.URL = server_->http("/data?size=10");
    get.FileName = target("second.bin");
    get.FetchFile();
    get.FetchString();
    ASSERT_TRUE(rec.waitDone());
    Pump(500);
    EXPECT_TRUE(restartedInHandler);
    EXPECT_EQ(rec.completions(), 1);
    EXPECT_EQ(rec.doneFile, 1);
    EXPECT_EQ(rec.fileName, target("first.bin"));
    EXPECT_EQ(rec.fileSize, 20000);
    EXPECT_FALSE(get.Busy());
    EXPECT_EQ(leftovers(), QStringList{"first.bin"});
}

TEST_F(HttpGetTest, WaitThreadReturnsAfterTheCompletion)
{
    THTTPGet get;
    Recorder rec(&get);
    get.WaitThread = true;
    get.URL = server_->http("/data?size=3000");
    get.FetchString();
    EXPECT_FALSE(get.Busy());
    EXPECT_EQ(rec.doneString, 1);
    EXPECT_EQ(rec.result, Pattern(3000));
    ASSERT_GE(rec.progress.size(), 3u);
    EXPECT_EQ(rec.progress.back().readed, 3000);
}

TEST_F(HttpGetTest, DestroyingWhileTheWorkerWaitsForDelivery)
{
    // The worker posts its first progress event and blocks until it is
    // handled; this thread does not handle it but destroys the component.
    QObject sink;
    int events = 0;
    {
        auto get = std::make_unique<THTTPGet>();
        QObject::connect(get.get(), &THTTPGet::OnProgress, &sink, [&] { ++events; });
        QObject::connect(get.get(), &THTTPGet::OnError, &sink, [&] { ++events; });
        QObject::connect(get.get(), &THTTPGet::OnDoneFile, &sink, [&] { ++events; });
        get->URL = server_->http("/data?size=400000");
        get->FileName = target("gone.zip");
        get->FetchFile();
        QThread::msleep(300);
        get.reset();
    }
    Pump(300);
    EXPECT_EQ(events, 0);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(",").toStdString();
}

TEST_F(HttpGetTest, DestroyingFromAProgressHandler)
{
    int progress = 0, completions = 0;
    QObject sink;
    QPointer<THTTPGet> get = new THTTPGet();
    QObject::connect(get, &THTTPGet::OnProgress, &sink, [&](QObject* sender, int, int) {
        if (++progress == 2)
            sender->deleteLater();
    });
    QObject::connect(get, &THTTPGet::OnError, &sink, [&] { ++completions; });
    QObject::connect(get, &THTTPGet::OnDoneFile, &sink, [&] { ++completions; });
    get->URL = server_->http("/data?size=400000");  // whole blocks of many pieces at once
    get->FileName = target("gone.zip");
    get->FetchFile();
    ASSERT_TRUE(WaitFor([&] { return get.isNull(); }));
    Pump(300);
    EXPECT_EQ(progress, 2);
    EXPECT_EQ(completions, 0);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(",").toStdString();
}

}  // namespace
