// Every rate at and around the edges with every priority index, through both
// opens, and every way of misusing a timer handle, on the fake platform.
#include <climits>

#include "dropin/timer_state.h"
#include "fake_platform.h"
#include "fake_platform_test.h"
#include "dropin/platform/event.h"
#include "dropin/platform/threads.h"
#include "varnex.h"

namespace {


using HostileCallerTest = FakePlatformTest;

TEST_F(HostileCallerTest, EveryRateWithEveryPriorityIndex)
{
    const long rates[] = {LONG_MIN, -1, 0, 1, kFrequency - 1, kFrequency, kFrequency + 1, LONG_MAX};
    const int indexes[] = {INT_MIN, -1, 0, 1, 2, 3, INT_MAX};
    const int priority_by_index[] = {2, 1, 0};
    int tried = 0;
    for (const long rate : rates) {
        for (const int index : indexes) {
            for (const bool threaded : {false, true}) {
                SCOPED_TRACE(std::to_string(rate) + " " + std::to_string(index) + (threaded ? " threaded" : " polling"));
                fake::reset();
                fake::set_frequency(kFrequency);
                ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
                const int64_t threshold_before = timer_state.liThreshold.load();
                const int64_t reference_before = timer_state.liLastTickLV;
                const bool valid = rate > 0 && index >= 0 && index <= 2;
                ++tried;
                if (!threaded) {
                    EXPECT_EQ(OpenRTTimerLV(rate, index), valid ? 0xFFFFFFFFu : 0u);
                } else {
                    void* timer = OpenRTTimer(rate, index);
                    EXPECT_EQ(timer != nullptr, valid);
                    if (timer != nullptr) {
                        EXPECT_EQ(fake::calls_named("set_thread_priority").at(0).value, priority_by_index[index]);
                        CloseRTTimer(timer);
                        EXPECT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
                    }
                }
                EXPECT_EQ(fake::message_boxes().size(), valid ? 0u : 1u);
                if (valid) {
                    EXPECT_EQ(timer_state.liThreshold.load(), kFrequency / rate - 1);
                } else {
                    EXPECT_EQ(timer_state.liThreshold.load(), threshold_before);
                    EXPECT_EQ(timer_state.liLastTickLV, reference_before);
                    EXPECT_EQ(timer_state.nRunning.load(), 0);
                    EXPECT_TRUE(fake::calls_named("create_thread_suspended").empty());
                }
            }
        }
    }
    EXPECT_EQ(tried, 8 * 7 * 2);
}

TEST_F(HostileCallerTest, CloseWithHandlesThatAreNotTheTimersReturnsZero)
{
    EXPECT_EQ(CloseRTTimer(nullptr), 0);
    int not_a_handle = 0;
    EXPECT_EQ(CloseRTTimer(&not_a_handle), 0);
    EXPECT_TRUE(fake::calls_named("close_handle").empty()) << "no event was held";
}

TEST_F(HostileCallerTest, EveryCloseAfterTheFirstLeavesTheEventAlone)
{
    fake::pause_at_read(3);
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    fake::wait_until_paused();
    EXPECT_EQ(CloseRTTimer(timer), 0);
    EXPECT_EQ(CloseRTTimer(timer), 0);
    fake::resume();
    ASSERT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
    EXPECT_EQ(CloseRTTimer(timer), -1);
    EXPECT_EQ(fake::calls_named("close_handle").size(), 1u);
}

TEST_F(HostileCallerTest, CloseAfterTheWaitsOwnTimeOutClosedIt)
{
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    fake::force_event_waits(platform::WaitResult::kTimedOut);
    EXPECT_EQ(WaitForRTTimer(timer), -1.0);
    ASSERT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
    EXPECT_EQ(CloseRTTimer(timer), -1);
    EXPECT_EQ(fake::calls_named("close_handle").size(), 1u);
}

TEST_F(HostileCallerTest, WaitWithoutAnOpenTimerFailsAtOnce)
{
    EXPECT_EQ(WaitForRTTimer(nullptr), -1.0);
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    CloseRTTimer(timer);
    EXPECT_EQ(WaitForRTTimer(timer), -1.0);
    for (const fake::Call& wait : fake::calls_named("wait_for")) {
        EXPECT_EQ(wait.value, 0) << "no wait blocked on an event";
    }
}

// The wait uses its handle only to close on failure, so another timer's
// handle waits on the one event there is.
TEST_F(HostileCallerTest, WaitWithAnotherTimersHandleWaitsOnTheOpenTimer)
{
    void* first = OpenRTTimer(100, 0);
    ASSERT_NE(first, nullptr);
    void* second = OpenRTTimer(100, 0);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(fake::wait_thread_end(first, kEndLimitMs));
    EXPECT_GT(WaitForRTTimer(first), 0.0);
    CloseRTTimer(second);
    EXPECT_TRUE(fake::wait_thread_end(second, kEndLimitMs));
}

}  // namespace
