// The polling timer on the real counter, and the library as a host finds it
// freshly loaded. Timing assertions are lower bounds, and upper bounds far
// from any plausible delay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "host_os.h"
#include "varnex.h"

namespace {

using host::seconds_now;

// Must run first in its process.
TEST(FreshLibrary, NothingIsOpenAfterLoading)
{
    EXPECT_EQ(host::placeholder_variable(), 0);
    EXPECT_EQ(WaitForRTTimerLV(0), -1.0);
    const double start_s = seconds_now();
    EXPECT_EQ(WaitForRTTimer(nullptr), -1.0);
    EXPECT_LT(seconds_now() - start_s, 5.0);
    EXPECT_EQ(CloseRTTimer(nullptr), 0);
}

TEST(PollingTimer, WaitsAtHundredTicksPerSecondNeverReturnLessThanTheThreshold)
{
    const double frequency_hz = static_cast<double>(host::counter_hz());
    const double threshold_s = std::floor(frequency_hz / 100 - 1) / frequency_hz;
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
    // Every interval can be stretched by a busy machine, never shortened: one
    // unstretched among 50 tells 100 ticks a second from 50 (20 ms at least).
    EXPECT_LT(*std::min_element(intervals_s.begin(), intervals_s.end()), 0.015);
}

TEST(PollingTimer, TimeSpentBetweenWaitsCountsTowardTheNextPeriod)
{
    // Ten ticks per second: a caller that waited again would take 100 ms,
    // four times the bound.
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    WaitForRTTimerLV(0);
    host::sleep_for(0.25);
    const double start_s = seconds_now();
    const double late_interval_s = WaitForRTTimerLV(0);
    EXPECT_LT(seconds_now() - start_s, 0.025) << "a late caller must not wait again";
    EXPECT_GE(late_interval_s, 0.25);
}

}  // namespace
