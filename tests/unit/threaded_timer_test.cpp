// The threaded timer on the fake platform. Frequency 1000 and rate 100 give a
// threshold of 9 counts; the counter steps by one per read, so the worker's
// first read is its reference and each spin takes nine more: spin k ends at
// read 1 + 9k.
#include <algorithm>

#include "dropin/timer_state.h"
#include "fake_platform.h"
#include "fake_platform_test.h"
#include "dropin/platform/event.h"
#include "dropin/platform/threads.h"
#include "varnex.h"

namespace {

constexpr uint64_t kReadsPerSpin = 9;

using ThreadedTimerTest = FakePlatformTest;

std::vector<fake::Call> calls_on(void* handle)
{
    std::vector<fake::Call> on_handle;
    for (const fake::Call& call : fake::calls()) {
        if (call.handle == handle) {
            on_handle.push_back(call);
        }
    }
    return on_handle;
}

TEST_F(ThreadedTimerTest, OpenCreatesSuspendedSetsPriorityCreatesEventThenResumes)
{
    const int expected_priority[] = {2, 1, 0};
    for (int index = 0; index <= 2; ++index) {
        SCOPED_TRACE(index);
        fake::reset();
        fake::pause_at_read(1);
        void* timer = OpenRTTimer(100, index);
        ASSERT_NE(timer, nullptr);
        const std::vector<fake::Call> calls = fake::calls();
        ASSERT_EQ(calls.size(), 5u);
        EXPECT_EQ(calls[0].operation, "query_frequency");
        EXPECT_EQ(calls[1].operation, "create_thread_suspended");
        EXPECT_EQ(calls[1].handle, timer);
        EXPECT_EQ(calls[2].operation, "set_thread_priority");
        EXPECT_EQ(calls[2].handle, timer);
        EXPECT_EQ(calls[2].value, expected_priority[index]);
        EXPECT_EQ(calls[3].operation, "create_named_event");
        EXPECT_EQ(calls[3].value, 1) << "the event is named MyTimerSignal";
        EXPECT_EQ(calls[4].operation, "resume_thread");
        EXPECT_EQ(calls[4].handle, timer);
        EXPECT_EQ(timer_state.nRunning.load(), 1);
        EXPECT_EQ(timer_state.liThreshold.load(), 9);
        EXPECT_EQ(timer_state.hTimerThread.load(), timer);
        EXPECT_EQ(timer_state.dwTimerThreadId.load(), static_cast<uint32_t>(calls[1].value));
        EXPECT_EQ(timer_state.hTimerEvent.load(), calls[3].handle);
        fake::wait_until_paused();
        EXPECT_EQ(CloseRTTimer(timer), 0);
        fake::resume();
        ASSERT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
        EXPECT_EQ(fake::thread_exit_code(timer), 0u) << "no spin was completed";
    }
}

// The close lands in the sixth spin: the worker finishes it without
// signalling the released event, and ends at the top of the next pass.
TEST_F(ThreadedTimerTest, WorkerSignalsOncePerSpinAndNeverAfterTheClose)
{
    fake::pause_at_read(1 + 5 * kReadsPerSpin + 1);
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    void* event = timer_state.hTimerEvent.load();
    fake::wait_until_paused();
    EXPECT_EQ(fake::calls_named("set_event").size(), 5u);

    EXPECT_EQ(CloseRTTimer(timer), 0) << "the worker is still in its last spin";
    EXPECT_EQ(timer_state.nRunning.load(), 0);
    EXPECT_EQ(timer_state.hTimerEvent.load(), nullptr);
    fake::resume();
    ASSERT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));

    EXPECT_EQ(fake::calls_named("set_event").size(), 5u);
    EXPECT_EQ(fake::reads(), 1 + 6 * kReadsPerSpin) << "the worker stopped after the spin in progress";
    EXPECT_EQ(fake::thread_exit_code(timer), kReadsPerSpin);
    EXPECT_EQ(calls_on(event).back().operation, "close_handle");
}

TEST_F(ThreadedTimerTest, CloseReturnsMinusOneOnlyOnceTheWorkerHasEnded)
{
    // The fake's spins take microseconds: the worker is held mid-spin so
    // that the close finds it running.
    fake::pause_at_read(5);
    void* timer = OpenRTTimer(100, 1);
    ASSERT_NE(timer, nullptr);
    void* event = timer_state.hTimerEvent.load();
    fake::wait_until_paused();
    EXPECT_EQ(CloseRTTimer(timer), 0);
    fake::resume();
    ASSERT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
    EXPECT_EQ(CloseRTTimer(timer), -1);
    EXPECT_EQ(CloseRTTimer(nullptr), 0);
    EXPECT_EQ(fake::calls_named("close_handle").size(), 1u) << "the event is released once";
    EXPECT_EQ(calls_on(event).back().operation, "close_handle");
    EXPECT_TRUE(fake::calls_named("close_handle")[0].handle == event) << "the thread handle stays the host's";
}

TEST_F(ThreadedTimerTest, FailedWaitClosesWithTheCallersHandleAndKeepsBothReadings)
{
    for (const platform::WaitResult result : {platform::WaitResult::kTimedOut, platform::WaitResult::kFailed}) {
        SCOPED_TRACE(static_cast<int>(result));
        fake::reset();
        fake::set_frequency(1000);
        fake::pause_at_read(1);
        void* timer = OpenRTTimer(100, 0);
        ASSERT_NE(timer, nullptr);
        fake::wait_until_paused();
        void* event = timer_state.hTimerEvent.load();
        timer_state.liPrevTick = 5;
        timer_state.liLastTick = 6;
        fake::force_event_waits(result);
        void* callers_handle = reinterpret_cast<void*>(0x1234);

        EXPECT_EQ(WaitForRTTimer(callers_handle), -1.0);
        const std::vector<fake::Call> waits = fake::calls_named("wait_for");
        ASSERT_EQ(waits.size(), 2u);
        EXPECT_EQ(waits[0].handle, event);
        EXPECT_EQ(waits[0].value, 10000);
        EXPECT_EQ(waits[1].handle, callers_handle);
        EXPECT_EQ(waits[1].value, 0);
        EXPECT_EQ(timer_state.nRunning.load(), 0);
        EXPECT_EQ(calls_on(event).back().operation, "close_handle");
        EXPECT_EQ(timer_state.liPrevTick, 5);
        EXPECT_EQ(timer_state.liLastTick, 6);

        // With the event released, the next wait fails at once without it.
        EXPECT_EQ(WaitForRTTimer(timer), -1.0);
        EXPECT_EQ(calls_on(event).back().operation, "close_handle");
        fake::resume();
        ASSERT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
    }
}

TEST_F(ThreadedTimerTest, SuccessfulWaitsResetTheEventAndMeasureBetweenTheCallersReadings)
{
    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    void* event = timer_state.hTimerEvent.load();
    const double first_s = WaitForRTTimer(timer);
    // The first wait after loading measures from reading 0.
    EXPECT_EQ(timer_state.liPrevTick, 0);
    EXPECT_DOUBLE_EQ(first_s, static_cast<double>(timer_state.liLastTick) / 1000.0);
    const int64_t first_reading = timer_state.liLastTick;
    const double second_s = WaitForRTTimer(timer);
    EXPECT_EQ(timer_state.liPrevTick, first_reading);
    EXPECT_DOUBLE_EQ(second_s, static_cast<double>(timer_state.liLastTick - first_reading) / 1000.0);

    EXPECT_GT(second_s, 0.0);
    std::vector<std::string> waits_and_resets;
    for (const fake::Call& call : calls_on(event)) {
        if (call.operation == "wait_for" || call.operation == "reset_event") {
            waits_and_resets.push_back(call.operation);
        }
    }
    EXPECT_EQ(waits_and_resets,
              (std::vector<std::string>{"wait_for", "reset_event", "wait_for", "reset_event"}));
    CloseRTTimer(timer);
    EXPECT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
}

TEST_F(ThreadedTimerTest, CreationFailuresLeaveNothingBehind)
{
    fake::fail_next_thread_creation();
    EXPECT_EQ(OpenRTTimer(100, 0), nullptr);
    EXPECT_EQ(timer_state.nRunning.load(), 0);
    EXPECT_TRUE(fake::calls_named("create_named_event").empty());

    fake::fail_next_event_creation();
    EXPECT_EQ(OpenRTTimer(100, 0), nullptr);
    EXPECT_EQ(timer_state.nRunning.load(), 0);
    EXPECT_EQ(timer_state.hTimerEvent.load(), nullptr);
    const std::vector<fake::Call> created = fake::calls_named("create_thread_suspended");
    ASSERT_EQ(created.size(), 2u);
    void* worker = created[1].handle;
    ASSERT_TRUE(fake::wait_thread_end(worker, kEndLimitMs));
    EXPECT_EQ(fake::thread_exit_code(worker), 0u) << "the worker ended before its first spin";
    EXPECT_EQ(calls_on(worker).back().operation, "close_handle") << "a handle the host never got";

    EXPECT_EQ(fake::threads_running(), 0);
    EXPECT_EQ(fake::events_held(), 0);
    EXPECT_TRUE(fake::message_boxes().empty());
}

TEST_F(ThreadedTimerTest, FailedReopenStopsTheEarlierTimerToo)
{
    void* first = OpenRTTimer(100, 0);
    ASSERT_NE(first, nullptr);
    fake::fail_next_event_creation();
    EXPECT_EQ(OpenRTTimer(100, 0), nullptr);
    EXPECT_TRUE(fake::wait_thread_end(first, kEndLimitMs));
    EXPECT_TRUE(fake::wait_thread_end(fake::calls_named("create_thread_suspended")[1].handle, kEndLimitMs));
    EXPECT_EQ(fake::threads_running(), 0);
    EXPECT_EQ(fake::events_held(), 0);
}

TEST_F(ThreadedTimerTest, ReopeningLeavesOnlyTheNewWorkerTicking)
{
    void* first = OpenRTTimer(100, 0);
    ASSERT_NE(first, nullptr);
    void* first_event = timer_state.hTimerEvent.load();
    CloseRTTimer(first);
    // Quick close-then-open: nRunning is 1 again before the first worker looks.
    void* second = OpenRTTimer(100, 0);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(fake::wait_thread_end(first, kEndLimitMs));

    // Open without a close: the earlier event goes, the earlier worker ends.
    void* second_event = timer_state.hTimerEvent.load();
    void* third = OpenRTTimer(100, 2);
    ASSERT_NE(third, nullptr);
    EXPECT_TRUE(fake::wait_thread_end(second, kEndLimitMs));
    EXPECT_EQ(calls_on(first_event).back().operation, "close_handle");
    EXPECT_EQ(calls_on(second_event).back().operation, "close_handle");
    EXPECT_EQ(fake::threads_running(), 1);
    EXPECT_EQ(fake::events_held(), 1);
    EXPECT_GE(WaitForRTTimer(third), 0.0) << "the new worker ticks";
    CloseRTTimer(third);
    EXPECT_TRUE(fake::wait_thread_end(third, kEndLimitMs));
}

}  // namespace

namespace {

// An old worker held from outside inside its SetEvent, while its timer is
// closed and another opened: the new worker ticks, the new close neither
// spins nor waits for the old worker, and each event is closed once, the old
// one by its worker as it leaves.
TEST_F(ThreadedTimerTest, AWorkerHeldInsideItsSignalHoldsUpNeitherTheNextTimerNorItsClose)
{
    fake::pause_at_set_event(1);
    void* old_timer = OpenRTTimer(100, 0);
    ASSERT_NE(old_timer, nullptr);
    void* old_event = timer_state.hTimerEvent.load();
    fake::wait_until_paused();
    EXPECT_EQ(CloseRTTimer(old_timer), 0);

    void* timer = OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    void* event = timer_state.hTimerEvent.load();
    EXPECT_GE(WaitForRTTimer(timer), 0.0) << "the new worker ticks";
    CloseRTTimer(timer);
    ASSERT_TRUE(fake::wait_thread_end(timer, kEndLimitMs));
    EXPECT_EQ(calls_on(event).back().operation, "close_handle") << "released by its close";
    EXPECT_EQ(calls_on(old_event).back().operation, "set_event") << "still in the held worker's hands";

    fake::resume();
    ASSERT_TRUE(fake::wait_thread_end(old_timer, kEndLimitMs));
    EXPECT_EQ(calls_on(old_event).back().operation, "close_handle") << "closed by the worker as it left";
    EXPECT_EQ(fake::calls_named("close_handle").size(), 2u);
    EXPECT_EQ(fake::events_held(), 0);
}

}  // namespace
