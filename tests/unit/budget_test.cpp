// The lateness budget and the causes of late ticks, on the fake platform:
// the margin's rule exactly, and each cause in a scripted case.
#include <cstdint>
#include <string>

#include "fake_platform.h"
#include "fake_platform_test.h"
#include "pacer_calls.h"
#include "pacer/margin.h"
#include "varnex/pacer.h"

namespace {

// 1,000 oversleeps of 1 to 1,000 counts, scrambled, over two windows: with
// budget B the margin is the 10th largest (991) less B, at least 0; with
// none, the 5th largest (996). No error in ranks.
TEST(PacerBudget, TheMarginIsTheP99OfTheOversleepLessTheBudget)
{
    struct Case {
        int64_t budget;
        int64_t margin;
    };
    for (const Case& test : {Case{0, 996}, Case{20, 971}, Case{200, 791}, Case{991, 0}, Case{5000, 0}}) {
        SCOPED_TRACE("budget " + std::to_string(test.budget));
        constexpr int64_t kPeriod = 100000;
        MarginEstimator margin;
        init_margin(margin, 10, 1000, kPeriod);
        margin.budget_counts = test.budget;
        for (uint32_t tick = 0; tick < 1000; ++tick) {
            // Slept with the period: no overshoot widens it.
            learn_oversleep(margin, static_cast<int64_t>((tick * 389 + 7) % 1000 + 1), kPeriod);
            count_margin_tick(margin);
        }
        EXPECT_EQ(margin_counts(margin), test.margin);
    }
}

class PacerCauseTest : public FakePlatformTest {
protected:
    // A counter of 1 MHz, 10 ticks a second: tick 0 is due 100,000 counts
    // (100 ms) after the creation at 0, and a count is a microsecond.
    static constexpr int64_t kDue = 100000;

    void SetUp() override
    {
        FakePlatformTest::SetUp();
        fake::set_frequency(1000000);
    }

    static varnex_pacer* create(uint32_t mode, uint32_t flags = 0, uint32_t margin_ns = 0)
    {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = 10;
        config.rate_den = 1;
        config.mode = mode;
        config.flags = flags;
        config.margin_ns = margin_ns;
        return created(config);
    }
};

TEST_F(PacerCauseTest, TheBudgetTakesAHybridThatLearnsAndOneAsLargeAsTheOversleepSleepsToTheDeadline)
{
    for (varnex_pacer* other : {create(VARNEX_MODE_SPIN), create(VARNEX_MODE_SLEEP),
                                create(VARNEX_MODE_HYBRID, 0, 50000)}) {
        EXPECT_EQ(varnex_pacer_set_lateness_budget(other, 20000), VARNEX_E_INVALID_MODE);
        varnex_pacer_destroy(other);
    }
    EXPECT_EQ(varnex_pacer_set_lateness_budget(nullptr, 20000), VARNEX_E_INVALID_ARGUMENT);
    fake::set_counter(0, 1);
    varnex_pacer* pacer = create(VARNEX_MODE_HYBRID);
    EXPECT_EQ(varnex_pacer_set_lateness_budget(pacer, -1), VARNEX_E_INVALID_ARGUMENT);
    // Past the warm-up's 1 ms margin: none is left.
    ASSERT_EQ(varnex_pacer_set_lateness_budget(pacer, 1000000), VARNEX_OK);
    EXPECT_EQ(stats_of(pacer).margin_ns, 0);
    waited(pacer);
    EXPECT_EQ(fake::calls_named("sleep_until").back().value, kDue) << "the sleep is to the deadline itself";
    varnex_pacer_destroy(pacer);
}

TEST_F(PacerCauseTest, EachLateTickHasTheFirstCauseThatApplies)
{
    struct Case {
        const char* what;
        uint32_t mode;
        int64_t oversleep;
        std::vector<int64_t> readings;  // from the wait's first on
        uint32_t cause;
    };
    const Case cases[] = {
        {"a sleep that wakes at the deadline", VARNEX_MODE_SLEEP, 0, {}, VARNEX_CAUSE_ON_TIME},
        {"late by the on-time limit", VARNEX_MODE_SLEEP, 10, {}, VARNEX_CAUSE_ON_TIME},
        {"a sleep that wakes 11 us late", VARNEX_MODE_SLEEP, 11, {}, VARNEX_CAUSE_OVERSLEPT},
        {"a spin's last reading 1 us before the deadline, the next 60 us after", VARNEX_MODE_SPIN, 0,
         {kDue - 1, kDue + 60}, VARNEX_CAUSE_PREEMPTED},
        {"a host 50 us late", VARNEX_MODE_SLEEP, 0, {kDue + 50}, VARNEX_CAUSE_HOST_LATE},
        // A sleep that would oversleep, and a gap: the host's lateness comes first.
        {"a host late, and more", VARNEX_MODE_HYBRID, 500, {kDue + 50, kDue + 200}, VARNEX_CAUSE_HOST_LATE},
        {"a hybrid whose sleep wakes past the deadline", VARNEX_MODE_HYBRID, 1500, {}, VARNEX_CAUSE_OVERSLEPT},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        fake::reset();
        fake::set_frequency(1000000);
        varnex_pacer* pacer = create(test.mode);
        ASSERT_NE(pacer, nullptr);
        fake::set_oversleep(test.oversleep);
        fake::script_readings(test.readings);
        const varnex_tick tick = waited(pacer);
        EXPECT_EQ(tick.cause, test.cause) << "lateness " << tick.lateness_ns << " ns";
        waited(pacer);  // the statistics take a tick in as the next wait begins
        const varnex_pacer_stats stats = stats_of(pacer);
        const bool late = test.cause != VARNEX_CAUSE_ON_TIME;
        EXPECT_EQ(stats.late_ticks, late ? 1u : 0u);
        EXPECT_EQ(stats.late_overslept, test.cause == VARNEX_CAUSE_OVERSLEPT ? 1u : 0u);
        EXPECT_EQ(stats.late_preempted, test.cause == VARNEX_CAUSE_PREEMPTED ? 1u : 0u);
        EXPECT_EQ(stats.late_host_late, test.cause == VARNEX_CAUSE_HOST_LATE ? 1u : 0u);
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(PacerCauseTest, TheBudgetIsTheOnTimeLimitAndNoStatisticsLeaveTheCauseUnknown)
{
    varnex_pacer* pacer = create(VARNEX_MODE_HYBRID);
    ASSERT_EQ(varnex_pacer_set_lateness_budget(pacer, 1000000), VARNEX_OK);
    fake::set_oversleep(50);
    EXPECT_EQ(waited(pacer).cause, VARNEX_CAUSE_ON_TIME) << "50 us within a 1 ms budget";
    fake::set_oversleep(1001);
    EXPECT_EQ(waited(pacer).cause, VARNEX_CAUSE_OVERSLEPT);
    varnex_pacer_destroy(pacer);
    pacer = create(VARNEX_MODE_SLEEP, VARNEX_PACER_NO_STATS);
    EXPECT_EQ(waited(pacer).cause, VARNEX_CAUSE_UNKNOWN);
    varnex_pacer_destroy(pacer);
}

}  // namespace
