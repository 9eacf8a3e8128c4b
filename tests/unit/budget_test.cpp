// The lateness budget and the causes of late ticks, on the fake platform:
// the margin's rule exactly, and each cause in a scripted case.
#include <cstdint>
#include <cstring>
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
    EXPECT_NE(std::strstr(varnex_strerror(VARNEX_E_INVALID_MODE), "budget"), nullptr)
        << "the text covers a hybrid with a fixed margin";
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
        // Counted with the tick, as it returns.
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
    // A budget longer than the period is the limit all the same; only the
    // margin is held to the period. 200 ticks a second: a sleep of one slice.
    varnex_pacer_config fast;
    varnex_pacer_config_init(&fast);
    fast.rate_num = 200;
    fast.rate_den = 1;
    fast.mode = VARNEX_MODE_HYBRID;
    pacer = created(fast);
    ASSERT_EQ(varnex_pacer_set_lateness_budget(pacer, 10000000), VARNEX_OK);
    fake::set_oversleep(8000);
    const varnex_tick late = waited(pacer);
    EXPECT_EQ(late.lateness_ns, 8000000) << "a sleep with no margin left";
    EXPECT_EQ(late.cause, VARNEX_CAUSE_ON_TIME) << "within a 10 ms budget";
    EXPECT_EQ(stats_of(pacer).late_ticks, 0u);
    varnex_pacer_destroy(pacer);
    pacer = create(VARNEX_MODE_SLEEP, VARNEX_PACER_NO_STATS);
    EXPECT_EQ(waited(pacer).cause, VARNEX_CAUSE_UNKNOWN);
    varnex_pacer_destroy(pacer);
}

// On the readiness handle, as a loop uses it: called at the wake-up the
// handle was armed for, plus the loop's own latency.
TEST_F(PacerCauseTest, OnTheHandleAPromptLoopIsNotToBlameAndAStalledOneIs)
{
    for (const uint32_t mode : {VARNEX_MODE_SLEEP, VARNEX_MODE_HYBRID}) {
        SCOPED_TRACE(mode == VARNEX_MODE_SLEEP ? "sleep" : "hybrid");
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = 10;
        config.rate_den = 1;
        config.mode = mode;
        config.missed = VARNEX_MISSED_BURST;
        varnex_pacer* pacer = created(config);
        intptr_t handle = 0;
        ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
        // Latency -1: at once, for a handle armed for a wake-up already past.
        auto call_after_wake = [&](int64_t latency_counts) {
            if (latency_counts >= 0) {
                fake::set_counter(fake::calls_named("arm_ready_timer").back().value + latency_counts, 1);
            }
            varnex_tick tick{};
            tick.size = sizeof tick;
            EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
            return tick;
        };
        // A hybrid's learned margin covers the latency: late only in sleep mode.
        for (int tick = 0; tick < 20; ++tick) {
            EXPECT_NE(call_after_wake(67).cause, VARNEX_CAUSE_HOST_LATE) << "tick " << tick;
        }
        // A stall of 3.5 periods: the tick, and the three it catches up on.
        for (int tick = 0; tick < 4; ++tick) {
            EXPECT_EQ(call_after_wake(tick == 0 ? 350000 : -1).cause, VARNEX_CAUSE_HOST_LATE) << "tick " << tick;
        }
        const varnex_pacer_stats stats = stats_of(pacer);
        EXPECT_EQ(stats.late_host_late, 4u);
        EXPECT_EQ(stats.late_overslept, mode == VARNEX_MODE_SLEEP ? 20u : 0u);
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(PacerCauseTest, ABudgetSetWhileTheHandleIsOutRearmsItWithTheNewMargin)
{
    varnex_pacer* pacer = create(VARNEX_MODE_HYBRID);
    intptr_t handle = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
    ASSERT_EQ(fake::calls_named("arm_ready_timer").back().value, kDue - 1000) << "the warm-up's 1 ms";
    ASSERT_EQ(varnex_pacer_set_lateness_budget(pacer, 1000000), VARNEX_OK);
    EXPECT_EQ(fake::calls_named("arm_ready_timer").back().value, kDue) << "no margin left";
    EXPECT_EQ(stats_of(pacer).margin_ns, 0);
    varnex_pacer_destroy(pacer);
}

}  // namespace
