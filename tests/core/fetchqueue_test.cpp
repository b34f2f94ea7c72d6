#include "core/fetchqueue.h"

#include <gtest/gtest.h>

using namespace core;

TEST(FetchQueue, OneAtATimeInArrivalOrderAndNeverTwice)
{
    FetchQueue q;
    EXPECT_EQ(q.StartHead(), nullptr);
    q.Insert({"http://h/ML/develop.inf", "/w/develop.inf.dl", "", false, true, FetchKind::DevelopCatalogue, "x", ""});
    q.Insert({"http://h/ML/legacy.inf", "/w/legacy.inf.dl", "", false, true, FetchKind::LegacyCatalogue, "y", ""});
    const THTMLQueue* first = q.StartHead();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->kind, FetchKind::DevelopCatalogue);
    EXPECT_EQ(q.ActiveKind(), FetchKind::DevelopCatalogue);
    EXPECT_EQ(q.StartHead(), nullptr);  // busy

    q.FinishActive();
    EXPECT_EQ(q.ActiveKind(), FetchKind::None);
    // A request queued before the timer removes the finished head must not
    // restart that head.
    q.Insert({"http://h/b.zip", "/w/b.zip", "", true, true, FetchKind::DevelopBuild, "z", ""});
    EXPECT_EQ(q.StartHead(), nullptr);
    EXPECT_EQ(q.Count(), 3u);
    // The finished head no longer counts as a catalogue fetch on its way
    // (a retry of the lists must not wait for it); waiting ones do.
    EXPECT_FALSE(q.Holds(FetchKind::DevelopCatalogue));
    EXPECT_TRUE(q.Holds(FetchKind::LegacyCatalogue));
    EXPECT_TRUE(q.Holds(FetchKind::DevelopBuild));

    q.RemoveHead();
    const THTMLQueue* second = q.StartHead();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->kind, FetchKind::LegacyCatalogue);
    q.FinishActive();
    q.RemoveHead();
    ASSERT_NE(q.StartHead(), nullptr);
    EXPECT_EQ(q.Head().kind, FetchKind::DevelopBuild);
    q.FinishActive();
    q.RemoveHead();
    EXPECT_TRUE(q.Empty());
    q.RemoveHead();  // harmless on an empty queue
    EXPECT_EQ(q.Count(), 0u);
}

TEST(FetchQueue, ProgressAndMegabytes)
{
    EXPECT_EQ(ProgressPercent(1, 3), 33);
    EXPECT_EQ(ProgressPercent(3, 3), 100);
    EXPECT_EQ(ProgressPercent(5, 0), 0);
    EXPECT_EQ(ProgressPercent(3000000000LL, 4000000000LL), 75);
    EXPECT_DOUBLE_EQ(DownloadedMegabytes(3623878), 3.5);
    EXPECT_DOUBLE_EQ(DownloadedMegabytes(12939428), 12.0);
    EXPECT_DOUBLE_EQ(DownloadedMegabytes(0), 0.0);
}
