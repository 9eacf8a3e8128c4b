// The pacer on the real counter, through the library as a host links it:
// two pacers in two threads, the hybrid's CPU against the spin's, and a
// cancel from another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "varnex/pacer.hpp"

namespace {

double seconds_now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct PacedLoop {
    uint32_t rate = 0;
    varnex_mode mode = VARNEX_MODE_SPIN;
    int waits = 0;
    int failures = 0;
    uint64_t last_index = 0;
    uint64_t missed = 0;
    double elapsed_s = 0.0;
};

void pace(PacedLoop& run)
{
    varnex::Pacer pacer(run.rate, 1, run.mode);
    const double start_s = seconds_now();
    varnex_tick tick{};
    for (int wait = 0; wait < run.waits; ++wait) {
        run.failures += pacer.wait(tick) == VARNEX_OK ? 0 : 1;
        run.missed += tick.missed;
    }
    run.elapsed_s = seconds_now() - start_s;
    run.last_index = tick.index;
}

// Each keeps its own grid: the last tick's index is the time that passed,
// at its own rate, with every return or miss accounted for.
TEST(PacerClock, TwoPacersInTwoThreadsEachKeepTheirOwnRate)
{
    PacedLoop spinning{50, VARNEX_MODE_SPIN, 40};
    PacedLoop sleeping{80, VARNEX_MODE_SLEEP, 64};
    std::thread first(pace, std::ref(spinning));
    std::thread second(pace, std::ref(sleeping));
    first.join();
    second.join();
    for (const PacedLoop& run : {spinning, sleeping}) {
        SCOPED_TRACE(run.rate);
        EXPECT_EQ(run.failures, 0);
        EXPECT_EQ(run.last_index + 1, run.waits + run.missed);
        const double grid_s = static_cast<double>(run.last_index + 1) / run.rate;
        EXPECT_GE(run.elapsed_s, grid_s - 0.002) << "a tick came before its deadline";
        EXPECT_LT(run.elapsed_s, grid_s + 0.25);
    }
}

// CPU of a thread of its own that waits on one pacer for a second.
struct Spent {
    int failures = 0;
    uint64_t accounted = 0;  // returns plus missed
    uint64_t last_index = 0;
    double cpu_s = 0.0;
    double spin_s = 0.0;
    double sleep_s = 0.0;
};

Spent second_at_100_per_second(varnex_mode mode)
{
    Spent spent;
    std::thread([&] {
        varnex::Pacer pacer(100, 1, mode);
        varnex_tick tick{};
        for (int wait = 0; wait < 100; ++wait) {
            spent.failures += pacer.wait(tick) == VARNEX_OK ? 0 : 1;
            spent.accounted += 1 + tick.missed;
        }
        spent.last_index = tick.index;
        const varnex_pacer_stats stats = pacer.stats();
        spent.cpu_s = static_cast<double>(stats.cpu_ns) * 1e-9;
        spent.spin_s = static_cast<double>(stats.spin_ns) * 1e-9;
        spent.sleep_s = static_cast<double>(stats.sleep_ns) * 1e-9;
    }).join();
    return spent;
}

// The hybrid sleeps at least half of each 10 ms period (its margin is capped
// there) and its CPU is its spin's; the spin's CPU is read. Each is judged by
// its own statistics: on a loaded machine the margin learns the oversleep
// and the spin gets only its share of a core, so comparing the two CPU
// times would judge the load.
TEST(PacerClock, AHybridPacerSleepsMostOfEachPeriodAndSpendsCpuOnlyOnItsSpin)
{
    const Spent spin = second_at_100_per_second(VARNEX_MODE_SPIN);
    const Spent hybrid = second_at_100_per_second(VARNEX_MODE_HYBRID);
    for (const Spent& run : {spin, hybrid}) {
        EXPECT_EQ(run.failures, 0);
        EXPECT_EQ(run.last_index + 1, run.accounted);
    }
    EXPECT_GT(spin.cpu_s, 0.1) << "the thread's CPU time is not read";
    EXPECT_GT(hybrid.sleep_s, 0.25);
    // A sleep that burned CPU would put nearly all of sleep_s into cpu_s.
    EXPECT_LT(hybrid.cpu_s, hybrid.spin_s + hybrid.sleep_s / 2)
        << "CPU " << hybrid.cpu_s << " s, spin " << hybrid.spin_s << " s, sleep " << hybrid.sleep_s << " s";
}

// Every control asked for is reported, in exactly one of active, denied and
// unsupported, and the waits tick whatever the system allowed.
TEST(PacerClock, EveryControlAskedForIsReportedAndTheWaitsTick)
{
    varnex::Pacer pacer(50, 1, VARNEX_MODE_HYBRID);
    const uint32_t all = VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY | VARNEX_CONTROL_REALTIME |
                         VARNEX_CONTROL_LOCK_MEMORY | VARNEX_CONTROL_DMA_LATENCY | VARNEX_CONTROL_NO_THROTTLING |
                         VARNEX_CONTROL_MMCSS;
    const varnex_pacer_controls controls{sizeof controls, all, 1, 10, 0};
    ASSERT_EQ(varnex_pacer_set_controls(pacer.get(), &controls), VARNEX_OK);
    varnex_tick tick{};
    for (int wait = 0; wait < 5; ++wait) {
        ASSERT_EQ(pacer.wait(tick), VARNEX_OK);
    }
    const varnex_pacer_stats stats = pacer.stats();
    EXPECT_EQ(stats.controls_active | stats.controls_denied | stats.controls_unsupported, all);
    EXPECT_EQ(stats.controls_active & stats.controls_denied, 0u);
    EXPECT_EQ((stats.controls_active | stats.controls_denied) & stats.controls_unsupported, 0u);
#if defined(_WIN32)
    // What Windows (and Wine) grants any thread; real time and the C-state
    // latency are Linux's.
    EXPECT_EQ(stats.controls_active & (VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY),
              VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY);
    EXPECT_EQ(stats.controls_unsupported & (VARNEX_CONTROL_REALTIME | VARNEX_CONTROL_DMA_LATENCY),
              VARNEX_CONTROL_REALTIME | VARNEX_CONTROL_DMA_LATENCY);
#else
    EXPECT_EQ(stats.controls_unsupported & (VARNEX_CONTROL_NO_THROTTLING | VARNEX_CONTROL_MMCSS),
              VARNEX_CONTROL_NO_THROTTLING | VARNEX_CONTROL_MMCSS);
#endif
}

// One tick a second: the wait is well inside its period when the cancel
// comes, and without the cancel it would go on for most of a second.
TEST(PacerClock, ACancelFromAnotherThreadEndsTheWaitInProgressPromptly)
{
    for (const varnex_mode mode : {VARNEX_MODE_SPIN, VARNEX_MODE_SLEEP, VARNEX_MODE_HYBRID}) {
        SCOPED_TRACE(mode);
        varnex::Pacer pacer(1, 1, mode);
        std::atomic<bool> started{false};
        std::atomic<int> status{VARNEX_OK};
        double started_s = 0.0;
        double returned_s = 0.0;
        std::thread waiter([&] {
            varnex_tick tick{};
            started_s = seconds_now();
            started.store(true);
            status.store(pacer.wait(tick));
            returned_s = seconds_now();
        });
        while (!started.load()) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double cancelled_s = seconds_now();
        pacer.cancel();
        waiter.join();
        EXPECT_EQ(status.load(), VARNEX_E_CANCELLED);
        EXPECT_GT(returned_s - started_s, 0.05) << "the wait had not begun when the cancel came";
        EXPECT_LT(returned_s - cancelled_s, 0.25);
    }
}

}  // namespace

// The CPU time is the first waiting thread's while it runs, and unknown
// from the moment it has ended: Windows goes on answering for an ended
// thread, and Linux hands its id, and with it its clock, to a later thread.
TEST(PacerClock, TheCpuTimeIsOfTheThreadThatWaitedAndEndsWithIt)
{
    varnex::Pacer pacer(100, 1, VARNEX_MODE_SPIN);
    std::atomic<int> stage{0};
    int64_t cpu_while_alive_ns = -2;
    std::thread waiter([&] {
        varnex_tick tick{};
        EXPECT_EQ(pacer.wait(tick), VARNEX_OK);
        stage.store(1);
        while (stage.load() != 2) {
            std::this_thread::yield();
        }
    });
    while (stage.load() != 1) {
        std::this_thread::yield();
    }
    cpu_while_alive_ns = pacer.stats().cpu_ns;
    stage.store(2);
    waiter.join();
    EXPECT_GT(cpu_while_alive_ns, -1) << "a living thread's CPU time is known";
    EXPECT_EQ(pacer.stats().cpu_ns, -1) << "the thread has ended";
}

// A mask that names no CPU this thread may use is refused where it is set;
// so is one with CPUs that a 32-bit Windows mask cannot name, never cut.
TEST(PacerClock, AnAffinityMaskWithNoUsableCpuIsRefused)
{
    varnex::Pacer pacer(100, 1, VARNEX_MODE_SPIN);
    const varnex_pacer_controls beyond_this_machine{sizeof beyond_this_machine, VARNEX_CONTROL_AFFINITY,
                                                    uint64_t{1} << 40, 0, 0};
    EXPECT_EQ(varnex_pacer_set_controls(pacer.get(), &beyond_this_machine), VARNEX_E_INVALID_CONTROL);
    const varnex_pacer_controls with_cpu_32{sizeof with_cpu_32, VARNEX_CONTROL_AFFINITY, (uint64_t{1} << 32) | 1, 0, 0};
#if defined(_WIN32) && !defined(_WIN64)
    EXPECT_EQ(varnex_pacer_set_controls(pacer.get(), &with_cpu_32), VARNEX_E_INVALID_CONTROL);
#else
    EXPECT_EQ(varnex_pacer_set_controls(pacer.get(), &with_cpu_32), VARNEX_OK);
#endif
}
