// The lateness budget on the real clock: a hybrid with a 200 us budget and
// one without run side by side at 100 ticks a second, half a period apart,
// in one-second rounds, so that both meet the same bursts of oversleep.
// This machine's oversleep reaches 2 ms in bursts: both margins follow it,
// and that round's CPU goes to whichever learned it sooner, by far more
// than the budget saves (at most 200 us a tick). So the rounds are counted,
// not summed, and a round that ends with either margin past five budgets
// was decided by the load, not the budget: it is not counted. Under a
// steady load, the pacer on the later phase spent more in every round, so
// the two swap phases each round. The budget costs less in most counted
// rounds (8 or 9 of 10 here; a budget that widened the margin would cost
// more in nearly all). No p99 bound holds.
#include <gtest/gtest.h>

#include <algorithm>
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

struct Round {
    int64_t cpu_ns = 0;     // of its 100 waits after the first
    int64_t margin_ns = 0;  // learned by its end
};

// One pacer's round on this thread.
Round run_round(bool budgeted, int round)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 100;
    config.rate_den = 1;
    config.mode = VARNEX_MODE_HYBRID;
    config.phase_ns = budgeted == (round % 2 == 0) ? kPeriodNs + kPeriodNs / 2 : kPeriodNs;
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
    return {stats.cpu_ns - start_ns, stats.margin_ns};
}

TEST(PacerBudgetClock, ABudgetCostsLessCpuAndCountsTheTicksLateBeyondIt)
{
    int counted_rounds = 0;
    int cheaper_rounds = 0;
    for (int round = 0; round < 30 && counted_rounds < 10; ++round) {
        Round budgeted;
        std::thread budgeted_thread([&] { budgeted = run_round(true, round); });
        const Round unbudgeted = run_round(false, round);
        budgeted_thread.join();
        const bool load_decided = std::max(budgeted.margin_ns, unbudgeted.margin_ns) > 5 * kBudgetNs;
        std::printf("round %d: CPU with the budget %lld ns, without %lld ns; margins %lld and %lld ns%s\n", round,
                    static_cast<long long>(budgeted.cpu_ns), static_cast<long long>(unbudgeted.cpu_ns),
                    static_cast<long long>(budgeted.margin_ns), static_cast<long long>(unbudgeted.margin_ns),
                    load_decided ? " (not counted)" : "");
        if (!load_decided) {
            ++counted_rounds;
            cheaper_rounds += budgeted.cpu_ns < unbudgeted.cpu_ns ? 1 : 0;
        }
    }
    if (counted_rounds < 6) {
        GTEST_SKIP() << "the oversleep outgrew five budgets in all but " << counted_rounds << " of 30 rounds";
    }
    EXPECT_GT(3 * cheaper_rounds, 2 * counted_rounds) << cheaper_rounds << " of " << counted_rounds;
}

}  // namespace
