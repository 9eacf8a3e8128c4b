// The lateness budget on the real clock: a hybrid with a 200 us budget and
// one without run side by side at 100 ticks a second, half a period apart,
// ten one-second rounds, so that both meet the same bursts of oversleep.
// This machine's oversleep reaches 2 ms in bursts: both margins follow it,
// and that round's CPU goes to whichever learned it sooner, by far more
// than the budget saves (at most 200 us a tick). So the rounds are counted,
// not summed: the budget costs less in most of them (8 or 9 of 10 here;
// a budget that widened the margin would cost more in nearly all). No p99
// bound holds.
#include <gtest/gtest.h>

#include <thread>

#include "varnex/pacer.hpp"

namespace {

// Under user-mode emulation both margins reach milliseconds and each wait
// costs more CPU: 200 us would be lost in the noise (4 of 10 rounds seen),
// so the budget there is 2 ms.
#ifdef VARNEX_EMULATOR
constexpr int64_t kBudgetNs = 2000000;
#else
constexpr int64_t kBudgetNs = 200000;
#endif
constexpr int64_t kPeriodNs = 10000000;

// One pacer's round on this thread: the CPU of its 100 waits after the first.
int64_t round_cpu_ns(bool budgeted, int round)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 100;
    config.rate_den = 1;
    config.mode = VARNEX_MODE_HYBRID;
    config.phase_ns = budgeted ? kPeriodNs + kPeriodNs / 2 : kPeriodNs;
    varnex::Pacer pacer(config);
    if (budgeted) {
        pacer.set_lateness_budget(kBudgetNs);
    }
    varnex_tick tick{};
    EXPECT_EQ(pacer.wait(tick), VARNEX_OK);
    const int64_t start_ns = pacer.stats().cpu_ns;
    // A tick is counted late as it returns, the last one too.
    uint64_t late = tick.lateness_ns > kBudgetNs ? 1 : 0;
    for (int wait = 0; wait < 100; ++wait) {
        EXPECT_EQ(pacer.wait(tick), VARNEX_OK);
        late += tick.lateness_ns > kBudgetNs ? 1 : 0;
    }
    const varnex_pacer_stats stats = pacer.stats();
    EXPECT_GE(start_ns, 0);
    if (budgeted) {
        EXPECT_EQ(stats.late_ticks, late) << "round " << round;
        EXPECT_EQ(stats.late_ticks, stats.late_overslept + stats.late_preempted + stats.late_host_late);
    }
    return stats.cpu_ns - start_ns;
}

TEST(PacerBudgetClock, ABudgetCostsLessCpuAndCountsTheTicksLateBeyondIt)
{
    int cheaper_rounds = 0;
    for (int round = 0; round < 10; ++round) {
        int64_t budgeted_ns = 0;
        std::thread budgeted([&] { budgeted_ns = round_cpu_ns(true, round); });
        const int64_t unbudgeted_ns = round_cpu_ns(false, round);
        budgeted.join();
        std::printf("round %d: CPU with the budget %lld ns, without %lld ns\n", round,
                    static_cast<long long>(budgeted_ns), static_cast<long long>(unbudgeted_ns));
        cheaper_rounds += budgeted_ns < unbudgeted_ns ? 1 : 0;
    }
    EXPECT_GT(cheaper_rounds, 5);
}

}  // namespace
