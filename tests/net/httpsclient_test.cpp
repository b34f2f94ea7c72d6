#include "net/httpget.h"
#include "net/httpsclient.h"
#include "support/testservers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <memory>

namespace {

std::string Str(const QByteArray& b)
{
    return b.toStdString();
}

void WriteFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// HTTPS servers signed by the test CA; SSL_CERT_FILE names that CA.
class HttpsClientTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const TestCerts& c = TestCerts::get();
        if (!c.ok())
            return;
        tls_ =
            new TestServer("fault_server.py", {"--tls-cert", c.path("server.crt"), "--tls-key", c.path("server.key")});
        plain_ = new TestServer("fault_server.py", {});
    }
    static void TearDownTestSuite()
    {
        delete tls_;
        delete plain_;
        tls_ = plain_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(TestCerts::get().ok()) << "make_test_ca.sh failed";
        ASSERT_TRUE(tls_ && tls_->ok() && plain_ && plain_->ok()) << "servers did not start";
        env_ = std::make_unique<ScopedEnv>("SSL_CERT_FILE", TestCerts::get().path("ca.crt").toLocal8Bit());
    }
    void TearDown() override { env_.reset(); }

    static TestServer* tls_;
    static TestServer* plain_;
    std::unique_ptr<ScopedEnv> env_;
};
TestServer* HttpsClientTest::tls_ = nullptr;
TestServer* HttpsClientTest::plain_ = nullptr;

TEST_F(HttpsClientTest, TlsIsAvailableThroughOpenSsl)
{
    EXPECT_TRUE(TlsAvailable());
}

TEST_F(HttpsClientTest, SendsExactlyTheExpectedRequest)
{
    THttpsClient client;
    ASSERT_TRUE(client.HTTPMethod("GET", tls_->https("/echo").toStdString())) << client.ErrorText;
    EXPECT_EQ(client.ResultCode, 200);
    const std::string expected = "GET /echo HTTP/1.0\r\n"
                                 "Host: 127.0.0.1:" +
                                 std::to_string(tls_->port()) +
                                 "\r\n"
                                 "Keep-Alive: 300\r\n"
                                 "Connection: keep-alive\r\n"
                                 "User-Agent: Mozilla/4.0 (compatible; Flintor)\r\n"
                                 "\r\n";
    EXPECT_EQ(client.Document, expected);
}

TEST_F(HttpsClientTest, KeepsTheWholeBody)
{
    QTemporaryDir root;
    QFile f(root.filePath("build.zip"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    const QByteArray content = Pattern(300000);
    f.write(content);
    f.close();
    const TestCerts& c = TestCerts::get();
    TestServer web("static_server.py",
                   {"--root", root.path(), "--tls-cert", c.path("server.crt"), "--tls-key", c.path("server.key")});
    ASSERT_TRUE(web.ok());

    THttpsClient client;
    ASSERT_TRUE(client.HTTPMethod("GET", web.https("/build.zip").toStdString())) << client.ErrorText;
    EXPECT_EQ(client.Document.size(), content.size());
    EXPECT_TRUE(client.Document == Str(content));

    // Into a file: the same bytes, in place of an older file, nothing else left.
    QTemporaryDir target;
    const QString file = target.filePath("build.zip");
    WriteFile(file, "older archive");
    THttpsClient toFile;
    ASSERT_TRUE(toFile.GetFile(web.https("/build.zip").toStdString(), file.toStdString())) << toFile.ErrorText;
    EXPECT_TRUE(toFile.Document.empty());
    EXPECT_EQ(ReadAll(file), content);
    EXPECT_EQ(QDir(target.path()).entryList(QDir::Files), QStringList{"build.zip"});

    // The same name through "localhost" matches the certificate's other name.
    THttpsClient byName;
    EXPECT_TRUE(
        byName.HTTPMethod("GET", QStringLiteral("https://localhost:%1/build.zip").arg(web.port()).toStdString()))
        << byName.ErrorText;
}

TEST_F(HttpsClientTest, RedirectOnHttpsIsFollowed)
{
    THttpsClient client;
    ASSERT_TRUE(client.HTTPMethod("GET", tls_->https("/redirect").toStdString())) << client.ErrorText;
    EXPECT_EQ(client.Document, Str(Pattern(100)));
}

// Each failure, into memory and into a file: false, no body, the cause in
// words, and in the target folder only the older file, unchanged.
TEST_F(HttpsClientTest, FailuresReturnFalseAndLeaveNothing)
{
    using flintor::net::FetchLimits;
    struct Case {
        const char* what;
        QString url;
        const char* cause;
        FetchLimits limits = {1 << 20, 20000, 2000};
    };
    const std::vector<Case> cases = {
        {"404 with an error page", tls_->https("/notfound"), "not found (HTTP 404)"},
        {"redirect from https to http", tls_->https("/to-http?port=%1").arg(plain_->port()), ""},
        {"answer slower than the time-out", tls_->https("/slow?seconds=8"), "timed out (nothing received for 2 s)"},
        {"connection reset", tls_->https("/reset"), ""},
        {"short body", tls_->https("/short"), "incomplete answer"},
        {"too many redirects", tls_->https("/chain/6"), "too many redirects"},
        // An endless or trickling answer ends at the size cap or the deadline.
        {"endless answer",
         tls_->https("/endless"),
         "answer larger than the size limit of 256 KiB",
         {256 * 1024, 20000, 2000}},
        {"length above the cap",
         tls_->https("/endless?length=17179869184"),
         "answer larger than the size limit of 256 KiB",
         {256 * 1024, 20000, 2000}},
        {"trickling answer",
         tls_->https("/trickle?ms=200"),
         "not complete within the time limit of 1500 ms",
         {1 << 20, 1500, 2000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        THttpsClient client;
        client.Limits = c.limits;
        EXPECT_FALSE(client.HTTPMethod("GET", c.url.toStdString()));
        EXPECT_TRUE(client.Document.empty());
        EXPECT_FALSE(client.ErrorText.empty());
        EXPECT_EQ(client.ErrorText.rfind(c.cause, 0), 0u) << client.ErrorText;

        QTemporaryDir target;
        const QString file = target.filePath("build.zip");
        WriteFile(file, "older archive");
        THttpsClient toFile;
        toFile.Limits = c.limits;
        EXPECT_FALSE(toFile.GetFile(c.url.toStdString(), file.toStdString()));
        EXPECT_EQ(toFile.ErrorText.rfind(c.cause, 0), 0u) << toFile.ErrorText;
        EXPECT_EQ(QDir(target.path()).entryList(QDir::Files), QStringList{"build.zip"});
        EXPECT_EQ(ReadAll(file), QByteArray("older archive"));
    }
}

TEST_F(HttpsClientTest, GetterRefusesADowngradeInsideARedirectChain)
{
    THTTPGet get;
    int errors = 0, done = 0;
    QByteArray result;
    QObject::connect(&get, &THTTPGet::OnError, &get, [&] { ++errors; });
    QObject::connect(&get, &THTTPGet::OnDoneString, &get, [&](QObject*, const QByteArray& r) {
        ++done;
        result = r;
    });
    auto fetch = [&](const QString& url) {
        errors = done = 0;
        result.clear();
        get.URL = url;
        get.FetchString();
        return WaitFor([&] { return errors + done > 0; });
    };
    const QString toHttp = tls_->https("/to-http?port=%1").arg(plain_->port());

    // http -> https is an upgrade and is followed.
    ASSERT_TRUE(fetch(plain_->http("/goto?url=") + QUrl::toPercentEncoding(tls_->https("/data?size=10"))));
    EXPECT_EQ(done, 1);
    EXPECT_EQ(result, Pattern(10));

    // https -> http is refused, also when the chain started on http.
    for (const QString& url : {toHttp, plain_->http("/goto?url=") + QUrl::toPercentEncoding(toHttp)}) {
        SCOPED_TRACE(url.toStdString());
        ASSERT_TRUE(fetch(url));
        EXPECT_EQ(errors, 1);
        EXPECT_EQ(done, 0);
    }
}

TEST_F(HttpsClientTest, UntrustedCertificatesAreRefused)
{
    const TestCerts& c = TestCerts::get();
    TestServer self("fault_server.py", {"--tls-cert", c.path("selfsigned.crt"), "--tls-key", c.path("selfsigned.key")});
    ASSERT_TRUE(self.ok());
    THttpsClient client;
    EXPECT_FALSE(client.HTTPMethod("GET", self.https("/data?size=10").toStdString()));
    EXPECT_NE(client.ErrorText.find("certificate"), std::string::npos) << client.ErrorText;

    // Without SSL_CERT_FILE the system store is used, which does not hold the test CA.
    env_.reset();
    ScopedEnv none("SSL_CERT_FILE", QByteArray());
    qunsetenv("SSL_CERT_FILE");
    THttpsClient system;
    EXPECT_FALSE(system.HTTPMethod("GET", tls_->https("/data?size=10").toStdString()));
}

TEST_F(HttpsClientTest, OldTlsVersionsAreRefused)
{
    const TestCerts& c = TestCerts::get();
    for (const char* version : {"TLSv1", "TLSv1_1"}) {
        SCOPED_TRACE(version);
        TestServer old("fault_server.py", {"--tls-cert", c.path("server.crt"), "--tls-key", c.path("server.key"),
                                           "--tls-max-version", version});
        ASSERT_TRUE(old.ok());

        // Show with the curl tool that this server really speaks the old
        // protocol, so the refusal below is about the version.
        const QString tls = QString::fromLatin1(version) == "TLSv1" ? "1.0" : "1.1";
        QProcess probe;
        probe.start("curl", {"-s", "-o", "/dev/null", "--cacert", c.path("ca.crt"), "--tlsv" + tls, "--tls-max", tls,
                             "--ciphers", "DEFAULT@SECLEVEL=0", old.https("/data?size=10")});
        ASSERT_TRUE(probe.waitForFinished(20000));
        if (probe.exitCode() != 0) {
            GTEST_SKIP() << "local OpenSSL cannot serve " << version << " (curl exit " << probe.exitCode() << ")";
        }

        THttpsClient client;
        EXPECT_FALSE(client.HTTPMethod("GET", old.https("/data?size=10").toStdString()));
        EXPECT_FALSE(client.ErrorText.empty());
    }
}

}  // namespace
