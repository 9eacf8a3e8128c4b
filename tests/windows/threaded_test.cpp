// Varnex.dll's threaded timer under Wine, bound by decorated name. Timing
// assertions are lower bounds, counts, and upper bounds far from any
// plausible delay.
#include <gtest/gtest.h>

#include "varnex_dll.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

constexpr double kPeriod100s = 0.01;
constexpr double kPeriod10s = 0.1;

const VarnexDll& dll()
{
    static const VarnexDll loaded = load_varnex(BindBy::kName);
    return loaded;
}

// Closes, then waits (at most `limit_s`) for the worker to end; the seconds
// that took, or a negative number if it did not end.
double close_and_time_the_end(void* timer, double limit_s = 5.0)
{
    const double start_s = seconds_now();
    dll().CloseRTTimer(timer);
    while (seconds_now() - start_s < limit_s) {
        if (dll().CloseRTTimer(timer) == -1) {
            return seconds_now() - start_s;
        }
        Sleep(1);
    }
    return -1.0;
}

TEST(ThreadedTimer, PriorityIndexSetsTheWorkersPriority)
{
    ASSERT_NE(dll().OpenRTTimer, nullptr);
    const int expected[] = {THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_NORMAL};
    for (int index = 0; index <= 2; ++index) {
        void* timer = dll().OpenRTTimer(100, index);
        ASSERT_NE(timer, nullptr);
        EXPECT_EQ(GetThreadPriority(timer), expected[index]) << index;
        EXPECT_GE(close_and_time_the_end(timer), 0.0);
    }
}

TEST(ThreadedTimer, WaitsAtHundredTicksPerSecond)
{
    void* timer = dll().OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    EXPECT_GT(dll().WaitForRTTimer(timer), 0.0);
    std::vector<double> intervals_s;
    const double start_s = seconds_now();
    for (int wait = 0; wait < 50; ++wait) {
        intervals_s.push_back(dll().WaitForRTTimer(timer));
    }
    EXPECT_GE(seconds_now() - start_s, 49 * kPeriod100s * 0.99);
    std::sort(intervals_s.begin(), intervals_s.end());
    EXPECT_GT(intervals_s.front(), 0.0);
    EXPECT_GT(intervals_s[intervals_s.size() / 2], 0.008);
    EXPECT_LT(intervals_s[intervals_s.size() / 2], 0.02);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}

// Returns once a wait has blocked until a fresh tick, with the time it
// returned: the phase then comes from a tick, not from a wait that may have
// returned late, or at once on a held tick.
double wait_for_a_fresh_tick(void* timer, double period_s)
{
    for (;;) {
        const double start_s = seconds_now();
        dll().WaitForRTTimer(timer);
        const double returned_s = seconds_now();
        if (returned_s - start_s > period_s / 4) {
            return returned_s;
        }
    }
}

// Ten ticks per second, so that every bound lies a quarter period (25 ms) or
// more from both the expected time and the time a failure would show.
TEST(ThreadedTimer, LateCallerGetsOneImmediateReturnThenWaitsForTheNextTick)
{
    void* timer = dll().OpenRTTimer(10, 0);
    ASSERT_NE(timer, nullptr);
    const double tick_s = wait_for_a_fresh_tick(timer, kPeriod10s);
    // 2.5 periods elsewhere, busy so that a sleep's overshoot cannot move the
    // phase: two ticks came and one is held; the next is half a period away.
    while (seconds_now() < tick_s + 2.5 * kPeriod10s) {
    }
    double start_s = seconds_now();
    const double late_interval_s = dll().WaitForRTTimer(timer);
    EXPECT_LT(seconds_now() - start_s, kPeriod10s / 4) << "the held tick returns at once";
    EXPECT_GE(late_interval_s, 2.5 * kPeriod10s);
    // Had the missed ticks been kept, the next two waits would return at once
    // too; the next two ticks come at least a period apart, wherever the
    // phase lies.
    start_s = seconds_now();
    const double next_intervals_s = dll().WaitForRTTimer(timer) + dll().WaitForRTTimer(timer);
    EXPECT_GT(seconds_now() - start_s, kPeriod10s / 2) << "missed ticks are not delivered";
    EXPECT_LT(next_intervals_s, 3 * kPeriod10s);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}

TEST(ThreadedTimer, WorkerEndsWithinAPeriodOfTheClose)
{
    void* timer = dll().OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    dll().WaitForRTTimer(timer);
    EXPECT_EQ(dll().CloseRTTimer(timer), 0) << "the worker is in its last spin";
    EXPECT_EQ(WaitForSingleObject(timer, 5 * 10), WAIT_OBJECT_0);
    EXPECT_EQ(dll().CloseRTTimer(timer), -1);
    const double start_s = seconds_now();
    EXPECT_EQ(dll().WaitForRTTimer(timer), -1.0);
    EXPECT_LT(seconds_now() - start_s, 0.5) << "a wait after the close fails at once";
    CloseHandle(timer);
}

TEST(ThreadedTimer, SuspendedWorkerMakesTheWaitFailAfterTenSecondsAndClose)
{
    void* timer = dll().OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    dll().WaitForRTTimer(timer);
    ASSERT_NE(SuspendThread(timer), static_cast<DWORD>(-1));
    // A tick may already be held in the event; the wait after it times out.
    double failed_after_s = -1.0;
    for (int wait = 0; wait < 2 && failed_after_s < 0; ++wait) {
        const double start_s = seconds_now();
        if (dll().WaitForRTTimer(timer) == -1.0) {
            failed_after_s = seconds_now() - start_s;
        }
    }
    EXPECT_GE(failed_after_s, 9.9);
    EXPECT_LT(failed_after_s, 20.0);
    const double start_s = seconds_now();
    EXPECT_EQ(dll().WaitForRTTimer(timer), -1.0) << "the failed wait closed the timer";
    EXPECT_LT(seconds_now() - start_s, 0.5);
    ResumeThread(timer);
    EXPECT_EQ(WaitForSingleObject(timer, 1000), WAIT_OBJECT_0) << "resumed, the worker finds nRunning 0";
    CloseHandle(timer);
}

TEST(ThreadedTimer, ReopeningLeavesExactlyOneWorkerTicking)
{
    const int threads_before = threads_in_this_process();
    void* first = dll().OpenRTTimer(100, 2);
    ASSERT_NE(first, nullptr);
    dll().CloseRTTimer(first);
    void* second = dll().OpenRTTimer(100, 2);
    ASSERT_NE(second, nullptr);
    void* third = dll().OpenRTTimer(100, 2);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(WaitForSingleObject(first, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(threads_in_this_process(), threads_before + 1);
    // Two workers on the event would deliver 50 ticks in about 0.25 s.
    dll().WaitForRTTimer(third);
    const double start_s = seconds_now();
    for (int wait = 0; wait < 50; ++wait) {
        ASSERT_GE(dll().WaitForRTTimer(third), 0.0);
    }
    EXPECT_GE(seconds_now() - start_s, 49 * kPeriod100s * 0.9);
    EXPECT_GE(close_and_time_the_end(third), 0.0);
}

// Wine hands a released handle value to the next object created: a stale
// SetEvent from the worker's last pass would signal this unrelated event.
TEST(ThreadedTimer, UnrelatedEventCreatedAfterTheCloseIsNeverSignalled)
{
    for (int round = 0; round < 20; ++round) {
        void* timer = dll().OpenRTTimer(1000, 0);
        ASSERT_NE(timer, nullptr);
        dll().WaitForRTTimer(timer);
        dll().CloseRTTimer(timer);
        HANDLE unrelated = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        EXPECT_EQ(WaitForSingleObject(unrelated, 20), static_cast<DWORD>(WAIT_TIMEOUT)) << round;
        EXPECT_EQ(WaitForSingleObject(timer, 1000), WAIT_OBJECT_0);
        CloseHandle(unrelated);
        CloseHandle(timer);
    }
}

TEST(ThreadedTimer, PollingOpenChangesARunningWorkersPeriod)
{
    void* timer = dll().OpenRTTimer(100, 0);
    ASSERT_NE(timer, nullptr);
    dll().WaitForRTTimer(timer);
    dll().WaitForRTTimer(timer);
    ASSERT_EQ(dll().OpenRTTimerLV(25, 0), 0xFFFFFFFFu);
    dll().WaitForRTTimer(timer);
    // Three periods of 40 ms, measured over all three so that one late
    // return does not shorten the next: at the old 10 ms they take 30 ms.
    double three_waits_s = 0.0;
    for (int wait = 0; wait < 3; ++wait) {
        three_waits_s += dll().WaitForRTTimer(timer);
    }
    EXPECT_GT(three_waits_s, 0.075);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}


// Alone, 0.5 s of waits at 100 ticks per second return about 50 times.
TEST(ThreadedTimer, AnotherProcesssWorkerReleasesOurWaits)
{
    HANDLE peer = start_peer("tick 300 2.0");
    ASSERT_NE(peer, nullptr);
    void* timer = dll().OpenRTTimer(100, 2);
    ASSERT_NE(timer, nullptr);
    int waits = 0;
    const double end_s = seconds_now() + 0.5;
    while (seconds_now() < end_s) {
        waits += dll().WaitForRTTimer(timer) >= 0 ? 1 : 0;
    }
    EXPECT_GE(waits, 100);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
    EXPECT_EQ(finish_peer(peer), 0u);
}

TEST(ThreadedTimer, OurWorkerReleasesAnotherProcesssWaits)
{
    void* timer = dll().OpenRTTimer(300, 2);
    ASSERT_NE(timer, nullptr);
    HANDLE peer = start_peer("count 100 0.5");
    ASSERT_NE(peer, nullptr);
    // Its exit code is its count of waits; 1000000 and above report a failure.
    const DWORD peer_waits = finish_peer(peer);
    EXPECT_GE(peer_waits, 100u);
    EXPECT_LT(peer_waits, 1000u);
    EXPECT_GE(close_and_time_the_end(timer), 0.0);
}

}  // namespace
