// Downloads one URL into a file through THTTPGet with a running event loop
// receiving every progress event, and prints the time taken.
// Usage: httpget_bench URL FILE
#include "net/httpget.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s URL FILE\n", argv[0]);
        return 2;
    }
    THTTPGet get;
    get.URL = QString::fromLocal8Bit(argv[1]);
    get.FileName = QString::fromLocal8Bit(argv[2]);
    get.BinaryData = true;

    long long events = 0;
    int exitCode = 1;
    QElapsedTimer clock;
    QObject::connect(&get, &THTTPGet::OnProgress, &app, [&](QObject*, int, int) { ++events; });
    QObject::connect(&get, &THTTPGet::OnDoneFile, &app, [&](QObject*, const QString& file, int size) {
        const double s = clock.nsecsElapsed() / 1e9;
        std::printf("httpget: %.3f s for %d bytes (%.1f MB/s), %lld progress events, file %lld bytes\n", s, size,
                    size / 1048576.0 / s, events, static_cast<long long>(QFileInfo(file).size()));
        exitCode = 0;
        app.quit();
    });
    QObject::connect(&get, &THTTPGet::OnError, &app, [&](QObject*) {
        std::printf("httpget: fetch failed after %.3f s\n", clock.nsecsElapsed() / 1e9);
        app.quit();
    });
    QTimer::singleShot(0, &app, [&] {
        clock.start();
        get.FetchFile();
    });
    app.exec();
    return exitCode;
}
