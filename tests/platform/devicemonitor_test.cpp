#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "platform/devicemonitor.h"
#include "support/loopcard.h"

namespace {

QCoreApplication* App()
{
    static int argc = 1;
    static char arg0[] = "platform_tests";
    static char* argv[] = {arg0, nullptr};
    static QCoreApplication* app =
        QCoreApplication::instance() ? QCoreApplication::instance() : new QCoreApplication(argc, argv);
    return app;
}

struct Seen {
    QString action, name;
};

// Runs the event loop until `done` holds or the time is up.
bool WaitUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

TEST(DeviceMonitor, ReportsLoopAttachAndDetach)
{
    FLINTOR_REQUIRE_LOOP_AND_FUSE();
    App();
    platform::DeviceMonitor monitor;
    std::vector<Seen> seen;
    QObject::connect(&monitor, &platform::DeviceMonitor::deviceEvent, [&](const QString& a, const QString& n) {
        seen.push_back({a, n});
    });
    ASSERT_TRUE(monitor.start());
    EXPECT_TRUE(monitor.start());  // a second start keeps the one monitor

    testsupport::LoopCard card;
    ASSERT_TRUE(card.Create({.fsType = "exFAT", .label = "EVENTS"})) << card.error();
    const QString name = QString::fromStdString(card.name());
    // Attaching or detaching a loop device changes its capacity: a "change" event.
    auto sawFor = [&](const QString& n) {
        return std::any_of(seen.begin(), seen.end(),
                           [&](const Seen& s) { return s.name == n && s.action == "change"; });
    };
    EXPECT_TRUE(WaitUntil([&] { return sawFor(name); }, 5000)) << "no event for " << card.name();
    for (const auto& s : seen) {
        EXPECT_TRUE(s.action == "add" || s.action == "remove" || s.action == "change") << s.action.toStdString();
        EXPECT_FALSE(s.name.isEmpty());
    }

    seen.clear();
    ASSERT_TRUE(card.Detach()) << card.error();
    EXPECT_TRUE(WaitUntil([&] { return sawFor(name); }, 5000)) << "no event after detaching " << card.name();
}

}  // namespace
