// Speed figures and verdicts for recording modes.
#include <gtest/gtest.h>

#include "cardcheck/modes.h"
#include "cardcheck/verdict.h"

namespace {

using cardcheck::Piece;

TEST(Figures, OneSecondWindowsLeaveTheSkippedBytesOut)
{
    // 4 pieces of 10 MB: the first at 100 MB/s (burst), then 10 MB/s.
    const std::vector<Piece> pieces = {
        {0, 0.0, 0.1, 10'000'000}, {0, 0.1, 1.1, 10'000'000}, {0, 1.1, 2.1, 10'000'000}, {0, 2.1, 3.1, 10'000'000}};
    struct Case {
        uint64_t skip;
        std::vector<double> windows;
    };
    const Case cases[] = {
        {0, {19'000'000, 10'000'000, 10'000'000}},
        {10'000'000, {10'000'000, 10'000'000, 10'000'000}},
        {15'000'000, {10'000'000, 10'000'000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.skip);
        const std::vector<double> got = cardcheck::WindowSpeeds(pieces, c.skip);
        ASSERT_EQ(got.size(), c.windows.size());
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_NEAR(got[i], c.windows[i], 1.0);
    }
}

TEST(Figures, Percentiles)
{
    const std::vector<double> values = {5, 1, 4, 2, 3};
    EXPECT_DOUBLE_EQ(cardcheck::Percentile(values, 0), 1);
    EXPECT_DOUBLE_EQ(cardcheck::Percentile(values, 50), 3);
    EXPECT_DOUBLE_EQ(cardcheck::Percentile(values, 5), 1.2);
    EXPECT_DOUBLE_EQ(cardcheck::Percentile({}, 5), 0);
}

TEST(Verdicts, DataRateAgainstCardAndCamera)
{
    EXPECT_NEAR(cardcheck::DataRate({"", 1920, 1080, 14, 23.976}) / 1e6, 87.0, 0.05);
    struct Case {
        double mode, card, camera;
        bool lowerBound;
        const char* verdict;
    };
    const Case cases[] = {
        {87e6, 95e6, 95e6, false, "enough"},   {87e6, 95e6, 40e6, false, "limited by the camera"},
        {87e6, 60e6, 95e6, false, "too slow"}, {87e6, 38e6, 95e6, true, "not known"},
        {20e6, 38e6, 40e6, true, "enough"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cardcheck::Judge(c.mode, c.card, c.camera, c.lowerBound), c.verdict)
            << c.mode << " " << c.card << " " << c.camera;
}

}  // namespace
