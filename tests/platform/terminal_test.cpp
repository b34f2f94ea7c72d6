// Interrupts while an InterruptCatcher lives only mark the work as interrupted.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

#include "platform/terminal.h"

namespace {

std::atomic<int> gBefore{0};

TEST(InterruptCatcher, MarksInterruptsInsteadOfEndingAndPutsTheOldHandlingBack)
{
    std::signal(SIGINT, [](int) { ++gBefore; });
    {
        platform::InterruptCatcher catcher;
        EXPECT_FALSE(platform::InterruptRequested());
        for (int s : {SIGINT, SIGTERM, SIGHUP}) {
            platform::InterruptCatcher again;  // a new catcher starts unmarked
            EXPECT_FALSE(platform::InterruptRequested());
            std::raise(s);
            EXPECT_TRUE(platform::InterruptRequested()) << s;
        }
    }
    EXPECT_EQ(gBefore, 0);
    std::raise(SIGINT);
    EXPECT_EQ(gBefore, 1);
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace
