// The polling timer on the fake counter: frequency 1000 and rate 10 give a
// threshold of 99 counts.
#include <gtest/gtest.h>

#include "dropin/timer_state.h"
#include "fake_platform.h"
#include "varnex.h"

namespace {

class PollingTimerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        fake::set_frequency(1000);
    }
    void TearDown() override { fake::reset(); }
};

TEST_F(PollingTimerTest, OpenReturnsAllBitsSetAndTakesTheFirstReference)
{
    fake::script_readings({5000});
    EXPECT_EQ(OpenRTTimerLV(10, 2), 0xFFFFFFFFu);
    EXPECT_EQ(timer_state.liThreshold.load(), 99);
    EXPECT_EQ(timer_state.liLastTickLV, 5000);
    EXPECT_TRUE(fake::message_boxes().empty());
    // The polling timer owns no thread and no event.
    EXPECT_TRUE(fake::calls_named("create_thread_suspended").empty());
    EXPECT_TRUE(fake::calls_named("create_named_event").empty());
}

TEST_F(PollingTimerTest, FirstWaitMeasuresFromTheOpensReading)
{
    fake::script_readings({1000, 1050, 1098, 1099, 1200});
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0xFFFFFFFFu), 0.099);
    EXPECT_EQ(timer_state.liPrevTickLV, 1000);
    EXPECT_EQ(timer_state.liLastTickLV, 1099);
    EXPECT_EQ(fake::reads(), 4u);
}

TEST_F(PollingTimerTest, LateCallerGetsOneImmediateReturnWithTheWholeInterval)
{
    fake::script_readings({1000, 1099, 1299, 1300, 1397, 1398});
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.099);
    // Two periods spent elsewhere: one reading ends the wait, nothing is made up.
    const uint64_t reads_before = fake::reads();
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.2);
    EXPECT_EQ(fake::reads() - reads_before, 1u);
    // The next period counts from the late reading.
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.099);
}

TEST_F(PollingTimerTest, WaitIgnoresItsArgument)
{
    for (const unsigned int token : {0u, 1u, 0xFFFFFFFFu, 12345u}) {
        SCOPED_TRACE(token);
        fake::reset();
        fake::set_frequency(1000);
        fake::script_readings({1000, 1050, 1099});
        ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
        EXPECT_DOUBLE_EQ(WaitForRTTimerLV(token), 0.099);
        EXPECT_EQ(fake::reads(), 3u);
    }
}

TEST_F(PollingTimerTest, ReopeningBetweenWaitsSetsTheNextPeriodAndReference)
{
    fake::script_readings({1000, 1099, 2000, 2030, 2049});
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.099);
    ASSERT_EQ(OpenRTTimerLV(20, 0), 0xFFFFFFFFu);
    EXPECT_EQ(timer_state.liThreshold.load(), 49);
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.049);
}

TEST_F(PollingTimerTest, RateAboveTheFrequencyEndsEveryWaitAtItsFirstReading)
{
    fake::set_counter(100, 3);
    ASSERT_EQ(OpenRTTimerLV(1001, 0), 0xFFFFFFFFu);
    EXPECT_EQ(timer_state.liThreshold.load(), -1);
    for (int wait = 0; wait < 3; ++wait) {
        const uint64_t reads_before = fake::reads();
        EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.003);
        EXPECT_EQ(fake::reads() - reads_before, 1u);
    }
}

TEST_F(PollingTimerTest, WaitBeforeAnyOpenReturnsMinusOneWithoutReading)
{
    EXPECT_EQ(WaitForRTTimerLV(0), -1.0);
    EXPECT_EQ(fake::reads(), 0u);
    EXPECT_EQ(timer_state.liLastTickLV, 0);
}

TEST_F(PollingTimerTest, WaitAfterAFailedFrequencyQueryReturnsMinusOne)
{
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    fake::set_frequency(1000, false);
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0u);
    const uint64_t reads_before = fake::reads();
    EXPECT_EQ(WaitForRTTimerLV(0), -1.0);
    EXPECT_EQ(fake::reads(), reads_before);
}

TEST_F(PollingTimerTest, FailedOpenKeepsTheRunningCadence)
{
    fake::script_readings({1000, 1099, 1198});
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.099);
    ASSERT_EQ(OpenRTTimerLV(500, 3), 0u);
    EXPECT_DOUBLE_EQ(WaitForRTTimerLV(0), 0.099);
}

}  // namespace
