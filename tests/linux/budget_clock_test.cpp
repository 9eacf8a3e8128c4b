// The lateness budget on the real clock: a hybrid with a 200 us budget and
// one without take turns at 100 ticks a second, ten one-second rounds each.
// Only sums and counts are asserted: this machine's oversleep p99 reaches
// 1.4 ms in bursts, so no p99 bound holds.
#include <gtest/gtest.h>

#include "varnex/pacer.hpp"

namespace {

constexpr int64_t kBudgetNs = 200000;

TEST(PacerBudgetClock, ABudgetCostsLessCpuAndCountsTheTicksLateBeyondIt)
{
    int64_t cpu_ns[2] = {0, 0};
    for (int round = 0; round < 10; ++round) {
        for (int budgeted = 0; budgeted < 2; ++budgeted) {
            varnex::Pacer pacer(100, 1, VARNEX_MODE_HYBRID);
            if (budgeted == 1) {
                pacer.set_lateness_budget(kBudgetNs);
            }
            varnex_tick tick{};
            ASSERT_EQ(pacer.wait(tick), VARNEX_OK);
            const int64_t start_ns = pacer.stats().cpu_ns;
            // A tick enters the statistics as the next wait begins: the
            // last one's is not in them yet.
            uint64_t late = tick.lateness_ns > kBudgetNs ? 1 : 0;
            for (int wait = 0; wait < 100; ++wait) {
                ASSERT_EQ(pacer.wait(tick), VARNEX_OK);
                late += wait < 99 && tick.lateness_ns > kBudgetNs ? 1 : 0;
            }
            const varnex_pacer_stats stats = pacer.stats();
            ASSERT_GE(start_ns, 0);
            cpu_ns[budgeted] += stats.cpu_ns - start_ns;
            if (budgeted == 1) {
                EXPECT_EQ(stats.late_ticks, late) << "round " << round;
                EXPECT_EQ(stats.late_ticks, stats.late_overslept + stats.late_preempted + stats.late_host_late);
            }
        }
    }
    EXPECT_LT(cpu_ns[1], cpu_ns[0]) << "CPU with the budget " << cpu_ns[1] << " ns, without " << cpu_ns[0] << " ns";
}

}  // namespace
