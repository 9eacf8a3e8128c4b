// Runs in a process of its own, before anything has called the library: the
// state must read all zero without any code having run at load.
#include <gtest/gtest.h>

#include "dropin/timer_state.h"
#include "varnex.h"

TEST(FreshState, EveryFieldReadsZeroAtLoad)
{
    EXPECT_EQ(timer_state.liFrequency.load(), 0);
    EXPECT_EQ(timer_state.liThreshold.load(), 0);
    EXPECT_EQ(timer_state.nRunning.load(), 0);
    EXPECT_EQ(timer_state.hTimerEvent.load(), nullptr);
    EXPECT_EQ(timer_state.hTimerThread.load(), nullptr);
    EXPECT_EQ(timer_state.dwTimerThreadId.load(), 0u);
    EXPECT_EQ(timer_state.liPrevTick, 0);
    EXPECT_EQ(timer_state.liLastTick, 0);
    EXPECT_EQ(timer_state.liPrevTickLV, 0);
    EXPECT_EQ(timer_state.liLastTickLV, 0);
    EXPECT_EQ(timer_state.hGatedEvent.load(), 0u);
    EXPECT_EQ(nVarnex, 0);
}
