// A pacer aligned to the system clock, on the fake platform: grid points on
// the clock counted from 1970, steps forward and back, a clock that runs
// apart from the counter, and the flags' rules.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fake_platform.h"
#include "fake_platform_test.h"
#include "pacer_calls.h"
#include "varnex/pacer.h"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
// The system clock when the counter reads 0: a time of 2023, off any round
// second.
constexpr int64_t kClockAtZeroNs = 1700000000123456789;

// floor(ns * num / (10^9 * den)) in 64-bit steps: the grid point at or
// before `ns`, in the test's own arithmetic.
uint64_t index_at(int64_t ns, uint32_t num, uint32_t den)
{
    const auto seconds = static_cast<uint64_t>(ns / kNsPerSecond);
    const auto rest_ns = static_cast<uint64_t>(ns % kNsPerSecond);
    const uint64_t whole = seconds * num;
    return whole / den + ((whole % den) * kNsPerSecond + rest_ns * num) / (kNsPerSecond * den);
}

// floor(k * 10^9 * den / num): where the clock reads tick k.
int64_t point_ns(uint64_t k, uint32_t num, uint32_t den)
{
    const uint64_t cycles = k / num;
    return static_cast<int64_t>(cycles * den * kNsPerSecond + (k % num) * den * kNsPerSecond / num);
}

class AlignedPacerTest : public FakePlatformTest {
protected:
    static constexpr int64_t kPeriodNs = 10000000;  // 100 ticks a second

    void SetUp() override
    {
        FakePlatformTest::SetUp();
        // A counter of 1 GHz, as Linux's: one read, one nanosecond.
        fake::set_frequency(kNsPerSecond);
        fake::set_system_clock(kClockAtZeroNs);
    }

    static varnex_pacer_config aligned(uint32_t mode, uint32_t num = 100, uint32_t den = 1)
    {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = num;
        config.rate_den = den;
        config.mode = mode;
        config.flags = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK;
        return config;
    }
};

TEST_F(AlignedPacerTest, TicksComeWhereTheClockReadsTheirGridPointsCountedFrom1970)
{
    struct Case {
        uint32_t num;
        uint32_t den;
        int64_t phase_ns;
    };
    for (const Case& test : {Case{100, 1, -1}, Case{100, 1, 3300000}, Case{30000, 1001, 0}, Case{30000, 1001, 33366666}}) {
        SCOPED_TRACE(std::to_string(test.num) + "/" + std::to_string(test.den) + " phase " +
                     std::to_string(test.phase_ns));
        fake::set_counter(0, 1);
        // The fake's sleep wakes at its deadline's count exactly.
        varnex_pacer_config config = aligned(VARNEX_MODE_SLEEP, test.num, test.den);
        config.phase_ns = test.phase_ns;
        const int64_t phase_ns = test.phase_ns < 0 ? 0 : test.phase_ns;
        const int64_t created_ns = fake::system_clock_now_ns();
        varnex_pacer* pacer = created(config);
        ASSERT_NE(pacer, nullptr);
        const uint64_t first = index_at(created_ns - phase_ns, test.num, test.den) + 1;
        for (uint64_t k = first; k < first + 40; ++k) {
            const varnex_tick tick = waited(pacer);
            ASSERT_EQ(tick.index, k) << "the first grid point after the creation, then each in turn";
            EXPECT_EQ(tick.missed, 0u);
            EXPECT_EQ(tick.lateness_ns, 0);
            // The reading that ended the wait, before the clock check's two;
            // within the count that a reading's bracket leaves.
            const int64_t returned_ns = fake::system_clock_now_ns() - 2;
            EXPECT_LE(std::llabs(returned_ns - (phase_ns + point_ns(k, test.num, test.den))), 1) << "tick " << k;
        }
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(AlignedPacerTest, AStepForwardPassesOverItsTicksAndAStepBackHoldsTheNextUntilTheClockIsBack)
{
    struct Case {
        const char* what;
        int64_t step_ns;
        bool in_the_sleep;
        uint32_t missed_policy;
        uint64_t next_after;  // the next index, after tick k
        uint64_t missed;
        int64_t away_ns = 0;  // the host calls this long after tick k's return
    };
    const Case cases[] = {
        {"1 s forward, between waits", kNsPerSecond, false, VARNEX_MISSED_SKIP, 101, 100},
        {"1 s forward, bursting", kNsPerSecond, false, VARNEX_MISSED_BURST, 101, 100},
        {"a period forward", kPeriodNs, false, VARNEX_MISSED_BURST, 2, 1},
        // Seen as the sleep ends, at tick k + 1's old deadline: the points up
        // to the clock's new time at the step are missed, and the one it
        // passed only after the step is returned, late.
        {"1 s forward, in the sleep", kNsPerSecond, true, VARNEX_MISSED_SKIP, 101, 100},
        {"1 s back, between waits", -kNsPerSecond, false, VARNEX_MISSED_SKIP, 1, 0},
        {"a period back", -kPeriodNs, false, VARNEX_MISSED_SKIP, 1, 0},
        {"1 s back, in the sleep", -kNsPerSecond, true, VARNEX_MISSED_SKIP, 1, 0},
        // The host's own lateness: the policy skips what it was away for,
        // however small the step that came meanwhile.
        {"5 us forward, the host away 1 s", 5000, false, VARNEX_MISSED_SKIP, 101, 100, kNsPerSecond},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        fake::set_counter(0, 1);
        fake::set_system_clock(kClockAtZeroNs);
        varnex_pacer_config config = aligned(VARNEX_MODE_SLEEP);
        config.missed = test.missed_policy;
        varnex_pacer* pacer = created(config);
        ASSERT_NE(pacer, nullptr);
        const varnex_tick before = waited(pacer);
        if (test.away_ns != 0) {
            fake::set_counter(fake::calls_named("sleep_until").back().value + test.away_ns, 1);
        }
        if (test.in_the_sleep) {
            fake::step_system_clock_in_next_sleep(test.step_ns);
        } else {
            fake::step_system_clock(test.step_ns);
        }
        const varnex_tick after = waited(pacer);
        EXPECT_EQ(after.index, before.index + test.next_after);
        EXPECT_EQ(after.missed, test.missed);
        const int64_t clock_ns = fake::system_clock_now_ns();
        EXPECT_GE(clock_ns, point_ns(after.index, 100, 1)) << "never before its grid point";
        EXPECT_LT(clock_ns, point_ns(after.index, 100, 1) + 100000);
        if (test.step_ns < 0) {
            EXPECT_GE(after.interval_ns, kPeriodNs - test.step_ns - 100000) << "held until the clock was back";
        }
        EXPECT_EQ(waited(pacer).index, after.index + 1);
        const varnex_pacer_stats stats = stats_of(pacer);
        EXPECT_EQ(stats.clock_steps, 1u);
        EXPECT_LE(std::llabs(stats.clock_step_ns - std::llabs(test.step_ns)), 10);
        EXPECT_EQ(stats.missed, test.missed);
        varnex_pacer_destroy(pacer);
    }
}

// A wait, or on the handle one as a loop makes it: called at each wake-up
// that the handle was armed for, until the tick comes.
int next_tick(varnex_pacer* pacer, varnex_tick* tick, bool on_handle, int64_t step_per_read)
{
    if (!on_handle) {
        return varnex_pacer_wait(pacer, tick);
    }
    int status = VARNEX_E_NOT_DUE;
    for (int wake = 0; wake < 4 && status == VARNEX_E_NOT_DUE; ++wake) {
        fake::set_counter(fake::calls_named("arm_ready_timer").back().value, step_per_read);
        status = varnex_pacer_wait(pacer, tick);
    }
    return status;
}

TEST_F(AlignedPacerTest, AStepThatPassesOverNoGridPointMissesNoTickInEveryModeAndOnTheHandle)
{
    // 10 ticks a second; 20 ms after tick k - 1 the clock steps 30 ms
    // forward, and tick k's grid point is still 50 ms ahead.
    constexpr int64_t kTenthNs = 100000000;
    constexpr int64_t kStepPerRead = 1000;  // so that a 100 ms spin ends
    struct Case {
        const char* what;
        uint32_t mode;
        bool on_handle;
    };
    for (const Case& test : {Case{"sleep", VARNEX_MODE_SLEEP, false}, Case{"hybrid", VARNEX_MODE_HYBRID, false},
                             Case{"spin", VARNEX_MODE_SPIN, false}, Case{"hybrid, handle", VARNEX_MODE_HYBRID, true},
                             Case{"sleep, handle", VARNEX_MODE_SLEEP, true}}) {
        SCOPED_TRACE(test.what);
        fake::set_counter(0, kStepPerRead);
        fake::set_system_clock(kClockAtZeroNs);
        varnex_pacer* pacer = created(aligned(test.mode, 10));
        ASSERT_NE(pacer, nullptr);
        intptr_t handle = 0;
        varnex_tick tick{};
        tick.size = sizeof tick;
        if (test.on_handle) {
            ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
        }
        ASSERT_EQ(next_tick(pacer, &tick, test.on_handle, kStepPerRead), VARNEX_OK);
        const uint64_t k = tick.index + 1;
        fake::step_system_clock_at(point_ns(k - 1, 10, 1) - kClockAtZeroNs + kTenthNs / 5, 3 * kTenthNs / 10);
        const int64_t slept_before_ns = stats_of(pacer).sleep_ns;
        ASSERT_EQ(next_tick(pacer, &tick, test.on_handle, kStepPerRead), VARNEX_OK);
        EXPECT_EQ(tick.index, k);
        EXPECT_EQ(tick.missed, 0u);
        EXPECT_EQ(stats_of(pacer).clock_steps, 1u);
        if (test.mode != VARNEX_MODE_SPIN && !test.on_handle) {
            // 70 ms of counter time to tick k, less the hybrid's margin: the
            // sleep before the step counts too.
            EXPECT_GE(stats_of(pacer).sleep_ns - slept_before_ns, 6 * kTenthNs / 10);
        }
        if (test.on_handle) {
            // The loop sleeps to the old wake-up and is told there: late, by
            // no fault of its own.
            EXPECT_EQ(tick.cause, VARNEX_CAUSE_OVERSLEPT);
        } else {
            EXPECT_GE(tick.lateness_ns, 0);
            EXPECT_EQ(tick.cause, VARNEX_CAUSE_ON_TIME) << "late by " << tick.lateness_ns << " ns";
        }
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(AlignedPacerTest, AClockSteppedOutOfRangeTakesNoTickAndTheGridResumesOnTheClockOnceItIsBack)
{
    // Past 2^62 ns since 1970, the year 2116.
    constexpr int64_t kFarNs = int64_t{3} << 60;
    for (const bool on_handle : {false, true}) {
        SCOPED_TRACE(on_handle ? "on the handle" : "blocking");
        fake::set_counter(0, 1);
        fake::set_system_clock(kClockAtZeroNs);
        varnex_pacer* pacer = created(aligned(VARNEX_MODE_SLEEP));
        ASSERT_NE(pacer, nullptr);
        intptr_t handle = 0;
        if (on_handle) {
            ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
        }
        varnex_tick tick{};
        tick.size = sizeof tick;
        ASSERT_EQ(next_tick(pacer, &tick, on_handle, 1), VARNEX_OK);
        const varnex_tick before = tick;
        fake::step_system_clock(kFarNs);
        const int64_t called = fake::calls_named("arm_ready_timer").empty()
                                   ? 0
                                   : fake::calls_named("arm_ready_timer").back().value;
        EXPECT_EQ(next_tick(pacer, &tick, on_handle, 1), VARNEX_E_NO_COUNTER);
        EXPECT_EQ(std::memcmp(&tick, &before, sizeof tick), 0) << "the tick is left as it was";
        EXPECT_EQ(stats_of(pacer).ticks, 1u);
        if (on_handle) {
            // Armed for a retry a slice (the period here) on: not at once, not never.
            const int64_t retry = fake::calls_named("arm_ready_timer").back().value - called;
            EXPECT_GT(retry, kPeriodNs / 2);
            EXPECT_LE(retry, kPeriodNs + 100);
        }
        fake::step_system_clock(-kFarNs - kNsPerSecond);
        ASSERT_EQ(next_tick(pacer, &tick, on_handle, 1), VARNEX_OK);

        EXPECT_EQ(tick.index, index_at(fake::system_clock_now_ns(), 100, 1)) << "the clock's own tick";
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(AlignedPacerTest, ThroughTheReadinessHandleAStepBackMakesTheTickNotDueAndRearmsIt)
{
    varnex_pacer* pacer = created(aligned(VARNEX_MODE_SLEEP));
    ASSERT_NE(pacer, nullptr);
    intptr_t handle = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
    const int64_t armed = fake::calls_named("arm_ready_timer").back().value;
    fake::set_counter(armed, 1);
    fake::step_system_clock(-kPeriodNs);
    varnex_tick tick{};
    tick.size = sizeof tick;
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_NOT_DUE);
    EXPECT_LE(std::llabs(fake::calls_named("arm_ready_timer").back().value - (armed + kPeriodNs)), 2);
    varnex_pacer_destroy(pacer);
}

TEST_F(AlignedPacerTest, WhereTheCounterRunsApartTheMappingFollowsASlewOf500Ppm)
{
    for (const int64_t slew_ppm : {500, -500}) {
        SCOPED_TRACE(slew_ppm);
        // Windows' counter: 10 MHz, not slewed with the clock.
        fake::set_frequency(10000000);
        fake::set_counter(0, 1);
        fake::set_system_clock(kClockAtZeroNs, slew_ppm, false);
        varnex_pacer* pacer = created(aligned(VARNEX_MODE_SLEEP));
        ASSERT_NE(pacer, nullptr);
        const uint64_t first = waited(pacer).index;
        // 20 s: a mapping measured once would be 10 ms, a period, off.
        for (uint64_t k = first + 1; k <= first + 2000; ++k) {
            const varnex_tick tick = waited(pacer);
            ASSERT_EQ(tick.index, k);
            const int64_t offset_ns = fake::system_clock_now_ns() - point_ns(k, 100, 1);
            // A period's slew, and the readings' 100 ns counts.
            ASSERT_LE(std::abs(offset_ns), kPeriodNs / 2000 + 1000) << "tick " << k;
        }
        const varnex_pacer_stats stats = stats_of(pacer);
        EXPECT_EQ(stats.clock_steps, 0u);
        EXPECT_EQ(stats.missed, 0u);
        // A step is still a step: 1 s, then 200 us within a period.
        fake::step_system_clock(kNsPerSecond);
        waited(pacer);
        fake::step_system_clock(-200000);
        waited(pacer);
        EXPECT_EQ(stats_of(pacer).clock_steps, 2u);
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(AlignedPacerTest, PhaseTaiAndPolicyRulesAndWhatTheStatisticsReport)
{
    struct Case {
        const char* what;
        uint32_t flags;
        int64_t phase_ns;
        uint32_t missed;
        int status;
    };
    // 30000/1001 ticks a second: a period of 33,366,666.67 ns.
    const Case cases[] = {
        {"the last phase within the period", 0, 33366666, VARNEX_MISSED_SKIP, VARNEX_OK},
        {"a phase of one period", 0, 33366667, VARNEX_MISSED_SKIP, VARNEX_E_INVALID_PHASE},
        {"a phase below -1", 0, -2, VARNEX_MISSED_SKIP, VARNEX_E_INVALID_PHASE},
        {"the delay policy", 0, -1, VARNEX_MISSED_DELAY, VARNEX_E_INVALID_MISSED},
        {"TAI with no offset known", VARNEX_PACER_TAI, -1, VARNEX_MISSED_SKIP, VARNEX_E_NO_COUNTER},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        varnex_pacer_config config = aligned(VARNEX_MODE_HYBRID, 30000, 1001);
        config.flags |= test.flags;
        config.phase_ns = test.phase_ns;
        config.missed = test.missed;
        varnex_pacer* pacer = nullptr;
        EXPECT_EQ(varnex_pacer_create(&config, &pacer), test.status);
        EXPECT_EQ(pacer == nullptr, test.status != VARNEX_OK);
        varnex_pacer_destroy(pacer);
    }
    varnex_pacer_config tai = aligned(VARNEX_MODE_HYBRID);
    tai.flags |= VARNEX_PACER_TAI;
    fake::set_system_clock_availability(platform::SystemClock::kTai, platform::ClockAvailability::kUnsupported);
    varnex_pacer* pacer = nullptr;
    EXPECT_EQ(varnex_pacer_create(&tai, &pacer), VARNEX_E_INVALID_ARGUMENT) << "no TAI on Windows";
    fake::set_system_clock_availability(platform::SystemClock::kTai, platform::ClockAvailability::kAvailable);
    ASSERT_EQ(varnex_pacer_create(&tai, &pacer), VARNEX_OK);
    varnex_pacer_destroy(pacer);
    fake::set_system_clock_availability(platform::SystemClock::kUtc, platform::ClockAvailability::kMissing);
    EXPECT_EQ(varnex_pacer_create(&tai, &pacer), VARNEX_OK) << "TAI needs no UTC reading";
    varnex_pacer_destroy(pacer);
    const varnex_pacer_config utc = aligned(VARNEX_MODE_HYBRID);
    EXPECT_EQ(varnex_pacer_create(&utc, &pacer), VARNEX_E_NO_COUNTER) << "no precise system time";
    EXPECT_EQ(pacer, nullptr);
    EXPECT_EQ(fake::calls_named("create_sleep_timer").size(), fake::calls_named("close_sleep_timer").size());

    // The clock's state, for any pacer; a host's longer struct is written
    // only as far as this library knows it.
    fake::set_clock_sync({1, 250});
    varnex_pacer_config plain;
    varnex_pacer_config_init(&plain);
    plain.rate_num = 100;
    plain.rate_den = 1;
    pacer = created(plain);
    unsigned char longer[sizeof(varnex_pacer_stats) + 8];
    std::memset(longer, 0xAB, sizeof longer);
    varnex_pacer_stats stats{};
    stats.size = sizeof longer;
    std::memcpy(longer, &stats, sizeof stats.size);
    ASSERT_EQ(varnex_pacer_get_stats(pacer, reinterpret_cast<varnex_pacer_stats*>(longer)), VARNEX_OK);
    std::memcpy(&stats, longer, sizeof stats);
    EXPECT_EQ(stats.clock_synchronized, 1);
    EXPECT_EQ(stats.clock_error_us, 250);
    EXPECT_EQ(stats.clock_steps, 0u);
    EXPECT_EQ(longer[sizeof stats], 0xAB);
    EXPECT_EQ(longer[sizeof longer - 1], 0xAB);
    varnex_pacer_destroy(pacer);
}

}  // namespace
