// libvarnex.so's polling timer on the real counter. Timing assertions are
// lower bounds, and upper bounds far from any plausible delay.
#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <vector>

#include "stderr_capture.h"
#include "varnex.h"

namespace {

constexpr double kFrequency = 1e9;

double seconds_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / kFrequency;
}

// Must run first in its process.
TEST(FreshLibrary, NothingIsOpenAfterLoading)
{
    EXPECT_EQ(nVarnex, 0);
    EXPECT_EQ(WaitForRTTimerLV(0), -1.0);
    const double start_s = seconds_now();
    EXPECT_EQ(WaitForRTTimer(nullptr), -1.0);
    EXPECT_LT(seconds_now() - start_s, 5.0);
    EXPECT_EQ(CloseRTTimer(nullptr), 0);
}

TEST(FailedOpen, ReportsOneLineOnStandardErrorAndReturnsZero)
{
    struct BadOpen {
        long rate;
        int priority_index;
    };
    for (const BadOpen bad : {BadOpen{100, 3}, BadOpen{100, -1}, BadOpen{0, 0}, BadOpen{-100, 1}}) {
        StderrCapture polling_capture;
        EXPECT_EQ(OpenRTTimerLV(bad.rate, bad.priority_index), 0u);
        EXPECT_EQ(polling_capture.text(), "Info: Performance counter is not available.\n");
        StderrCapture threaded_capture;
        EXPECT_EQ(OpenRTTimer(bad.rate, bad.priority_index), nullptr);
        EXPECT_EQ(threaded_capture.text(), "Info: Performance counter is not available.\n");
    }
}

TEST(PollingTimer, WaitsAtHundredTicksPerSecondNeverReturnLessThanTheThreshold)
{
    const double threshold_s = (kFrequency / 100 - 1) / kFrequency;
    const unsigned int token = OpenRTTimerLV(100, 0);
    ASSERT_EQ(token, 0xFFFFFFFFu);
    std::vector<double> intervals_s;
    const double start_s = seconds_now();
    for (int wait = 0; wait < 50; ++wait) {
        intervals_s.push_back(WaitForRTTimerLV(token));
    }
    const double total_s = seconds_now() - start_s;
    for (const double interval_s : intervals_s) {
        EXPECT_GE(interval_s, threshold_s);
    }
    // The first wait measures from the open, before the clock started here.
    EXPECT_GE(total_s, 49 * threshold_s);
    std::sort(intervals_s.begin(), intervals_s.end());
    EXPECT_LT(intervals_s[intervals_s.size() / 2], 0.02);
}

TEST(PollingTimer, TimeSpentBetweenWaitsCountsTowardTheNextPeriod)
{
    // Ten ticks per second: a caller that waited again would take 100 ms,
    // four times the bound.
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    WaitForRTTimerLV(0);
    const timespec late{0, 250000000};
    nanosleep(&late, nullptr);
    const double start_s = seconds_now();
    const double late_interval_s = WaitForRTTimerLV(0);
    EXPECT_LT(seconds_now() - start_s, 0.025) << "a late caller must not wait again";
    EXPECT_GE(late_interval_s, 0.25);
}

}  // namespace
