// The log's throttle: the first occurrence is logged at once, later ones at most once a second
// with all that were counted meanwhile, and a count of none releases what was held back.
#include <chrono>

#include <gtest/gtest.h>

#include "log_throttle.h"

namespace {

using ostrel::loopback::log::Throttle;
using std::chrono::milliseconds;

TEST(LogThrottle, LogsTheFirstAtOnceThenAtMostOnceASecondWithWhatWasCounted) {
    Throttle throttle;
    const auto t0 = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    EXPECT_EQ(throttle.count(0, t0), 0u);  // nothing counted, nothing to log
    EXPECT_EQ(throttle.count(3, t0), 3u);
    EXPECT_EQ(throttle.count(1, t0 + milliseconds(10)), 0u);
    EXPECT_EQ(throttle.count(2, t0 + milliseconds(999)), 0u);
    EXPECT_EQ(throttle.count(0, t0 + milliseconds(1000)), 3u);  // held back, now due
    EXPECT_EQ(throttle.count(0, t0 + milliseconds(5000)), 0u);
    EXPECT_EQ(throttle.count(1, t0 + milliseconds(5000)), 1u);
}

}  // namespace
