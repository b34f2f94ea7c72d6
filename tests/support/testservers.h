// Test helpers: python servers from tests/support/servers run as child
// processes on 127.0.0.1, and a bounded wait that keeps the event loop going.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <functional>

#include "support/scopedenv.h"

inline QString ServersDir()
{
    return QStringLiteral(FLINTOR_SERVERS_DIR);
}

// Runs the event loop until pred() holds or timeoutMs passed; returns pred().
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!pred() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(1);
    }
    return pred();
}

// Keeps the event loop going for a fixed time (to see that nothing more arrives).
inline void Pump(int ms)
{
    WaitFor([] { return false; }, ms);
}

// One server process. It chooses its own free port and reports it through a
// file; it also stops by itself after maxSeconds should the test die.
class TestServer {
public:
    TestServer(const QString& script, QStringList args, int maxSeconds = 120)
    {
        const QString portFile = dir_.filePath(QStringLiteral("port"));
        args << QStringLiteral("--port-file") << portFile << QStringLiteral("--max-seconds")
             << QString::number(maxSeconds);
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc_.start(QStringLiteral("python3"), QStringList{ServersDir() + "/" + script} + args);
        QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired() && proc_.state() != QProcess::NotRunning) {
            QFile f(portFile);
            if (f.open(QIODevice::ReadOnly)) {
                port_ = f.readAll().trimmed().toInt();
                if (port_ > 0)
                    break;
            }
            QThread::msleep(20);
        }
    }
    ~TestServer()
    {
        proc_.kill();
        proc_.waitForFinished(5000);
    }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }
    bool ok() const { return port_ > 0; }
    QString url(const QString& scheme, const QString& path) const
    {
        return scheme + QStringLiteral("://127.0.0.1:") + QString::number(port_) + path;
    }
    QString http(const QString& path) const { return url(QStringLiteral("http"), path); }
    QString https(const QString& path) const { return url(QStringLiteral("https"), path); }

private:
    QTemporaryDir dir_;
    QProcess proc_;
    int port_ = 0;
};

// The body /data?size=N of fault_server.py sends.
inline QByteArray Pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>(i % 251);
    return b;
}

// Test certificates made once per run by make_test_ca.sh.
class TestCerts {
public:
    static const TestCerts& get()
    {
        static TestCerts certs;
        return certs;
    }
    bool ok() const { return ok_; }
    QString path(const char* name) const { return dir_.filePath(QString::fromLatin1(name)); }

private:
    TestCerts()
    {
        QProcess p;
        p.start(QStringLiteral("sh"), {ServersDir() + "/make_test_ca.sh", dir_.path()});
        ok_ = p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    QTemporaryDir dir_;
    bool ok_ = false;
};

using testsupport::ScopedEnv;
