// The eight exports under load, misuse and interference, on every build: many
// open/close cycles, every edge of the arguments, handles that are not the
// timers', and a neighbour that signals the shared tick event.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host_os.h"
#include "process_cpu.h"
#include "varnex.h"

namespace {

using host::seconds_now;
using host::eventually;
using host::sleep_for;

int threads()
{
    return static_cast<int>(host::thread_ids().size());
}

TEST(Stress, ThreadedCyclesLeaveNothingBehind)
{
    const int threads_before = threads();
    const int descriptors_before = host::open_descriptors();
    const int cycles = host::stress_cycles();
    constexpr long kRate = 20000;
    const double frequency_hz = static_cast<double>(host::counter_hz());
    std::vector<void*> timers;
    void* timer = nullptr;
    int polling_opens = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        switch (cycle % 4) {
        case 0:  // open, wait, close
            timer = OpenRTTimer(kRate, cycle % 3);
            ASSERT_NE(timer, nullptr);
            timers.push_back(timer);
            ASSERT_GE(WaitForRTTimer(timer), 0.0);
            CloseRTTimer(timer);
            break;
        case 1:  // quick close-then-open
            timers.push_back(OpenRTTimer(kRate, 2));
            CloseRTTimer(timers.back());
            timer = OpenRTTimer(kRate, 2);
            timers.push_back(timer);
            ASSERT_GE(WaitForRTTimer(timer), 0.0);
            break;
        case 2:  // an open without a close replaces the timer
            timer = OpenRTTimer(kRate, 1);
            timers.push_back(timer);
            ASSERT_GE(WaitForRTTimer(timer), 0.0);
            break;
        default:
            CloseRTTimer(timer);
            break;
        }
        if (cycle % (cycles / 200) == 0) {
            const long polling_rate = 10000 + cycle;
            ASSERT_EQ(OpenRTTimerLV(polling_rate, 0), 0xFFFFFFFFu);
            const double threshold_s =
                std::floor(frequency_hz / static_cast<double>(polling_rate) - 1) / frequency_hz;
            for (int wait = 0; wait < 3; ++wait) {
                ASSERT_GE(WaitForRTTimerLV(0), threshold_s - 1e-9);
            }
            ++polling_opens;
        }
    }
    CloseRTTimer(timer);
    EXPECT_TRUE(host::release_ended_workers(timers));
    EXPECT_EQ(polling_opens, 200);
    EXPECT_TRUE(eventually([&] { return threads() == threads_before; })) << threads() << " threads";
    EXPECT_EQ(host::open_descriptors(), descriptors_before);
    std::printf("%d cycles: threads %d before, %d after; descriptors %d before, %d after\n", cycles,
                threads_before, threads(), descriptors_before, host::open_descriptors());
    // No worker left spinning: the process is idle.
    const double cpu_before_s = process_cpu_seconds();
    sleep_for(0.3);
    EXPECT_LT(process_cpu_seconds() - cpu_before_s, 0.1);
}

TEST(BadInput, EveryRateWithEveryPriorityIndex)
{
    const long frequency = static_cast<long>(host::counter_hz());
    const long rates[] = {LONG_MIN, -1, 0, 1, frequency - 1, frequency, frequency + 1, LONG_MAX};
    const int indexes[] = {INT_MIN, -1, 0, 1, 2, 3, INT_MAX};
    int threads_before = -1;
    std::vector<void*> timers;
    for (const long rate : rates) {
        for (const int index : indexes) {
            SCOPED_TRACE(std::to_string(rate) + " " + std::to_string(index));
            const bool valid = rate > 0 && index >= 0 && index <= 2;
            const char* report = valid ? "" : "Info: Performance counter is not available.\n";
            {
                host::OpenReportWatch watch;
                EXPECT_EQ(OpenRTTimerLV(rate, index), valid ? 0xFFFFFFFFu : 0u);
                EXPECT_EQ(watch.report(), report);
            }
            host::OpenReportWatch watch;
            void* timer = OpenRTTimer(rate, index);
            EXPECT_EQ(watch.report(), report);
            EXPECT_EQ(timer != nullptr, valid);
            if (timer != nullptr) {
                // Closed at once; a rate of 1 leaves its worker one second of spin.
                CloseRTTimer(timer);
                timers.push_back(timer);
            }
            // The first report may start a thread of the system's own that
            // stays (Wine's message box does): count from there.
            if (threads_before < 0) {
                threads_before = threads();
            }
        }
    }
    EXPECT_TRUE(host::release_ended_workers(timers));
    EXPECT_TRUE(eventually([&] { return threads() == threads_before; })) << threads() << " threads";
}

TEST(Misuse, HandlesThatAreNotTheTimers)
{
    int not_a_handle = 0;
    EXPECT_EQ(CloseRTTimer(&not_a_handle), 0);
    EXPECT_EQ(CloseRTTimer(reinterpret_cast<void*>(UINTPTR_MAX)), 0);
    // A long period, so that the close lands inside the spin after the tick
    // even when this thread is not scheduled for a while.
    void* timer = OpenRTTimer(10, 0);
    ASSERT_NE(timer, nullptr);
    // The wait uses its handle only to close on failure.
    EXPECT_GT(WaitForRTTimer(&not_a_handle), 0.0);
    EXPECT_EQ(CloseRTTimer(timer), 0) << "just after a tick, the worker is in its last spin";
    CloseRTTimer(timer);
    EXPECT_TRUE(eventually([&] { return CloseRTTimer(timer) == -1; }));
    EXPECT_EQ(WaitForRTTimer(timer), -1.0);
    host::release_worker_handle(timer);
}

// Ten ticks per second: the outside signal comes half a period before the
// worker's next tick, and the released wait must return within a quarter.
TEST(Neighbours, ASignalFromOutsideReleasesOneWaitThenTheTicksResume)
{
    constexpr double kPeriod_s = 0.1;
    void* timer = OpenRTTimer(10, 0);
    ASSERT_NE(timer, nullptr);
    double tick_s = 0.0;
    for (double start_s = 0.0; tick_s - start_s < kPeriod_s / 4;) {
        start_s = seconds_now();
        WaitForRTTimer(timer);
        tick_s = seconds_now();
    }
    sleep_for(std::max(0.0, tick_s + kPeriod_s / 2 - seconds_now()));
    ASSERT_TRUE(host::signal_tick_event());
    const double start_s = seconds_now();
    EXPECT_GE(WaitForRTTimer(timer), 0.0);
    EXPECT_LT(seconds_now() - start_s, kPeriod_s / 4) << "the outside signal released the wait early";
    WaitForRTTimer(timer);
    double three_waits_s = 0.0;
    for (int wait = 0; wait < 3; ++wait) {
        three_waits_s += WaitForRTTimer(timer);
    }
    EXPECT_GT(three_waits_s, 2 * kPeriod_s) << "back on the worker's ticks";
    CloseRTTimer(timer);
    std::vector<void*> closed{timer};
    EXPECT_TRUE(host::release_ended_workers(closed));
}

}  // namespace
