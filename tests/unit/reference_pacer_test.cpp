// A pacer that follows a reference, on the fake platform at 1 GHz, against
// scripted references whose truth the test knows: a rate offset, jitter,
// outliers, a gap, a change of rate, a phase step and a restart. A sleep-mode
// wait ends at its deadline exactly, so each tick's deadline is the running
// sum of the intervals from the creation, less its lateness.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "fake_platform.h"
#include "fake_platform_test.h"
#include "pacer_calls.h"
#include "varnex/pacer.h"

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kPeriodNs = 1000000;  // 1,000 ticks a second
constexpr int64_t kCreatedAtNs = 7000000000;
// A reference far from the counter, read since a 0 of its own.
constexpr int64_t kReferenceAtCreationNs = 4000000000500123;
constexpr double kDefaultSlew = 500e-6;

// The reference: the rate and phase it has from a local instant on.
struct Truth {
    int64_t anchor_local_ns = kCreatedAtNs;
    int64_t anchor_reading_ns = kReferenceAtCreationNs;
    double rate = 1.0;

    int64_t reading(int64_t local_ns) const
    {
        return anchor_reading_ns + std::llround(rate * static_cast<double>(local_ns - anchor_local_ns));
    }
    double local_of(int64_t reading_ns) const
    {
        return static_cast<double>(anchor_local_ns) + static_cast<double>(reading_ns - anchor_reading_ns) / rate;
    }
    void change(int64_t local_ns, double new_rate, int64_t step_ns)
    {
        anchor_reading_ns = reading(local_ns) + step_ns;
        anchor_local_ns = local_ns;
        rate = new_rate;
    }
};

struct Script {
    double ppm = 300.0;
    double jitter_ns = 20000.0;
    double outlier_share = 0.0;  // of 1 ms, late
    int seconds = 6;
    int gap_from_s = -1;         // no observations from here for 10 s
    int change_at_s = -1;        // then the rate moves by change_ppm, the reading by step_ns
    double change_ppm = 0.0;
    int64_t step_ns = 0;
    int stray_at_s = -1;         // then one more reading, stamped with the system clock's 2026
};

struct Tick {
    varnex_tick tick;
    int64_t deadline_ns;
    double error_ns;  // the deadline against the reference's instant for the tick
    varnex_pacer_stats stats;
};

struct Following {
    std::vector<Tick> ticks;
    uint64_t outliers_sent = 0;
};

class ReferencePacerTest : public FakePlatformTest {
protected:
    void SetUp() override
    {
        FakePlatformTest::SetUp();
        fake::set_frequency(kNsPerSecond);
        fake::set_counter(kCreatedAtNs, 1);
    }

    static varnex_pacer_config following(uint32_t mode = VARNEX_MODE_SLEEP)
    {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = static_cast<uint32_t>(kNsPerSecond / kPeriodNs);
        config.rate_den = 1;
        config.mode = mode;
        config.flags = VARNEX_PACER_FOLLOW_REFERENCE;
        return config;
    }

    // One observation after each tick, at the tick's return.
    static Following run(Script script)
    {
        fake::set_counter(kCreatedAtNs, 1);
        varnex_pacer* pacer = created(following());
        std::mt19937_64 random(33);
        std::normal_distribution<double> jitter(0.0, script.jitter_ns);
        std::uniform_real_distribution<double> share(0.0, 1.0);
        Truth truth;
        truth.rate = 1.0 + script.ppm * 1e-6;
        Following result;
        int64_t now_ns = kCreatedAtNs;
        bool changed = false;
        while (now_ns < kCreatedAtNs + script.seconds * kNsPerSecond) {
            const varnex_tick tick = waited(pacer);
            now_ns += tick.interval_ns;
            const int64_t deadline_ns = now_ns - tick.lateness_ns;
            const int64_t reference_ns = static_cast<int64_t>(tick.index) * kPeriodNs;
            result.ticks.push_back({tick, deadline_ns, static_cast<double>(deadline_ns) - truth.local_of(reference_ns),
                                    stats_of(pacer)});
            const double since_s = static_cast<double>(now_ns - kCreatedAtNs) / kNsPerSecond;
            if (script.change_at_s >= 0 && !changed && since_s >= script.change_at_s) {
                truth.change(now_ns, truth.rate + script.change_ppm * 1e-6, script.step_ns);
                changed = true;
            }
            if (script.gap_from_s >= 0 && since_s >= script.gap_from_s && since_s < script.gap_from_s + 10) {
                continue;
            }
            double reading_ns = static_cast<double>(truth.reading(now_ns)) + jitter(random);
            if (share(random) < script.outlier_share) {
                reading_ns += 1e6;
                ++result.outliers_sent;
            }
            EXPECT_EQ(varnex_pacer_observe(pacer, std::llround(reading_ns), now_ns), VARNEX_OK);
            if (since_s >= script.stray_at_s && script.stray_at_s >= 0) {
                EXPECT_EQ(varnex_pacer_observe(pacer, std::llround(reading_ns), 1765000000 * kNsPerSecond), VARNEX_OK);
                script.stray_at_s = -1;
            }
        }
        varnex_pacer_destroy(pacer);
        return result;
    }

    // 300 ppm fast, 20 us of jitter: the run others are measured against.
    static const Following& clean_run()
    {
        static const Following clean = run(Script{});
        return clean;
    }

    // The first of `count` ticks in a row within 20 us of the reference's instants.
    static size_t locked_from(const Following& run, size_t from = 0, size_t count = 50)
    {
        size_t in_row = 0;
        for (size_t i = from; i < run.ticks.size(); ++i) {
            in_row = std::fabs(run.ticks[i].error_ns) <= 20000.0 ? in_row + 1 : 0;
            if (in_row == count) {
                return i + 1 - count;
            }
        }
        return run.ticks.size();
    }

    // Locked again after the first tick from `from` on that is not.
    static size_t relocked_after(const Following& run, size_t from)
    {
        while (from < run.ticks.size() && std::fabs(run.ticks[from].error_ns) <= 20000.0) {
            ++from;
        }
        return locked_from(run, from);
    }

    static double largest_error_ns(const Following& run, size_t from, size_t to)
    {
        double largest = 0.0;
        for (size_t i = from; i < std::min(to, run.ticks.size()); ++i) {
            largest = std::max(largest, std::fabs(run.ticks[i].error_ns));
        }
        return largest;
    }

    // Each interval differs from the period estimated as the wait before it
    // began (the statistics read after that wait) by at most the slew, and
    // one count of rounding; but where the wait stepped or re-based.
    static void expect_intervals_within_the_slew(const Following& run)
    {
        for (size_t i = 1; i < run.ticks.size(); ++i) {
            const Tick& before = run.ticks[i - 1];
            const Tick& after = run.ticks[i];
            if (after.stats.reference_steps != before.stats.reference_steps ||
                after.stats.reference_rebases != before.stats.reference_rebases || before.stats.reference_rebases == 0) {
                continue;
            }
            const double period_ns = kPeriodNs / (1.0 + before.stats.reference_rate_offset_ppb * 1e-9);
            const auto interval_ns = static_cast<double>(after.deadline_ns - before.deadline_ns);
            ASSERT_LE(std::fabs(interval_ns - period_ns), kDefaultSlew * period_ns + 1.0) << "tick " << i;
        }
    }
};

TEST_F(ReferencePacerTest, ARateOffsetWithJitterIsLockedWithinASecondAndTrackedToAFewMicroseconds)
{
    const Following& result = clean_run();
    // Before the first observation: the counter's grid from the creation,
    // indices from 0; then one re-base onto the reference, nothing missed.
    EXPECT_EQ(result.ticks[0].tick.index, 0u);
    EXPECT_EQ(result.ticks[0].deadline_ns, kCreatedAtNs + kPeriodNs);
    EXPECT_EQ(result.ticks[0].stats.reference_state, static_cast<uint32_t>(VARNEX_REFERENCE_NONE));
    const Tick& rebased = result.ticks[1];
    EXPECT_EQ(rebased.tick.index, static_cast<uint64_t>(kReferenceAtCreationNs / kPeriodNs) + 2);
    EXPECT_EQ(rebased.tick.missed, 0u);
    EXPECT_EQ(rebased.stats.reference_rebases, 1u);
    for (const Tick& tick : result.ticks) {
        ASSERT_EQ(tick.tick.missed, 0u);
    }
    const size_t locked = locked_from(result);
    EXPECT_LT(locked, 1000u) << "within 1 s";
    EXPECT_LT(largest_error_ns(result, locked + 500, result.ticks.size()), 5000.0);
    const varnex_pacer_stats& last = result.ticks.back().stats;
    EXPECT_EQ(last.reference_state, static_cast<uint32_t>(VARNEX_REFERENCE_LOCKED));
    EXPECT_NEAR(last.reference_rate_offset_ppb, 300000.0, 3000.0);
    EXPECT_NEAR(last.reference_jitter_ns, 20000.0, 4000.0);
    EXPECT_LT(std::llabs(last.reference_phase_error_ns), 5000);
    EXPECT_EQ(last.reference_observations, result.ticks.size() - 1);
    EXPECT_EQ(last.reference_steps + last.reference_outliers + last.reference_dropped, 0u);
    EXPECT_EQ(last.reference_rebases, 1u);
    expect_intervals_within_the_slew(result);
}

TEST_F(ReferencePacerTest, OutliersAreRejectedAndCountedAndAGapHoldsOverOnTheLastEstimate)
{
    Script outliers;
    outliers.outlier_share = 0.01;
    const Following& clean = clean_run();
    const Following spoilt = run(outliers);
    ASSERT_GT(spoilt.outliers_sent, 30u);
    EXPECT_EQ(spoilt.ticks.back().stats.reference_outliers, spoilt.outliers_sent);
    EXPECT_EQ(spoilt.ticks.back().stats.reference_steps, 0u);
    const size_t from = locked_from(spoilt) + 500;
    EXPECT_LT(largest_error_ns(spoilt, from, spoilt.ticks.size()), largest_error_ns(clean, from, clean.ticks.size()) + 2000.0);

    // One reading stamped with another clock is one outlier, and leaves the
    // estimate as it was.
    Script stray;
    stray.stray_at_s = 3;
    const Following strayed = run(stray);
    EXPECT_EQ(strayed.ticks.back().stats.reference_outliers, 1u);
    EXPECT_NEAR(strayed.ticks.back().stats.reference_jitter_ns, 20000.0, 4000.0);
    EXPECT_LT(largest_error_ns(strayed, 3000, strayed.ticks.size()), largest_error_ns(clean, 3000, clean.ticks.size()) + 2000.0);

    // A slow reference this time: the rate's sign is learned as well.
    Script gap;
    gap.ppm = -300.0;
    gap.gap_from_s = 3;
    gap.seconds = 16;
    const Following held = run(gap);
    const auto state_at = [&](double seconds) { return held.ticks[static_cast<size_t>(seconds * 1000)].stats.reference_state; };
    EXPECT_EQ(state_at(3.9), static_cast<uint32_t>(VARNEX_REFERENCE_LOCKED)) << "the holdover time is 1 s";
    EXPECT_EQ(state_at(4.1), static_cast<uint32_t>(VARNEX_REFERENCE_HOLDOVER));
    EXPECT_EQ(state_at(12.9), static_cast<uint32_t>(VARNEX_REFERENCE_HOLDOVER));
    EXPECT_EQ(state_at(13.5), static_cast<uint32_t>(VARNEX_REFERENCE_LOCKED));
    EXPECT_NEAR(held.ticks[3900].stats.reference_rate_offset_ppb, -300000.0, 3000.0);
    // On the last estimate, 10 s run apart by the rate's error alone.
    EXPECT_LT(largest_error_ns(held, 3000, 13000), 20000.0);
    EXPECT_EQ(held.ticks.back().stats.reference_steps + held.ticks.back().stats.reference_outliers, 0u);
    expect_intervals_within_the_slew(held);
}

TEST_F(ReferencePacerTest, AChangeOfRateIsSlewedAPhaseStepIsSteppedAndARestartReBases)
{
    Script faster;
    faster.change_at_s = 3;
    faster.change_ppm = 600.0;
    const Following slewed = run(faster);
    EXPECT_EQ(slewed.ticks.back().stats.reference_steps, 0u);
    EXPECT_LT(relocked_after(slewed, 3000), 6000u) << "locked again within 3 s";
    EXPECT_NEAR(slewed.ticks.back().stats.reference_rate_offset_ppb, 900000.0, 3000.0);
    expect_intervals_within_the_slew(slewed);

    struct Case {
        const char* what;
        int64_t step_ns;
        uint64_t steps;
        uint64_t rebases;
    };
    // A day ahead: further than the clock has run since its 0.
    for (const Case& test : {Case{"5.5 ms back", -5500000, 1, 1},
                             Case{"a restart, 10 s back", -10 * kNsPerSecond, 0, 2},
                             Case{"a day ahead", 86400 * kNsPerSecond + 500000, 1, 1}}) {
        SCOPED_TRACE(test.what);
        Script stepped;
        stepped.change_at_s = 3;
        stepped.step_ns = test.step_ns;
        const Following result = run(stepped);
        const varnex_pacer_stats& last = result.ticks.back().stats;
        EXPECT_EQ(last.reference_steps, test.steps);
        EXPECT_EQ(last.reference_rebases, test.rebases);
        uint64_t missed = 0;
        bool moved = false;
        for (size_t i = 2; i < result.ticks.size(); ++i) {
            const Tick& tick = result.ticks[i];
            const Tick& before = result.ticks[i - 1];
            missed += tick.tick.missed;
            if (tick.stats.reference_rebases == before.stats.reference_rebases) {
                ASSERT_EQ(tick.tick.index - before.tick.index, tick.tick.missed + 1) << "no index repeats, tick " << i;
            }
            // No tick before its new instant, once the pacer has seen the move.
            moved = moved || tick.stats.reference_rebases + tick.stats.reference_steps > 1;
            if (moved) {
                ASSERT_GT(tick.error_ns, -40000.0) << "tick " << i;
            }
        }
        ASSERT_TRUE(moved);
        // Ahead: the grid points the step passed over, no more; back: none.
        EXPECT_EQ(missed, test.step_ns > 0 ? static_cast<uint64_t>(test.step_ns / kPeriodNs) : 0u);
        EXPECT_LT(relocked_after(result, 3001), 4000u);
        expect_intervals_within_the_slew(result);
    }
}

TEST_F(ReferencePacerTest, TheFlagsOptionsObservationsAndStatisticsTakeOnlyWhatTheyCan)
{
    varnex_pacer* pacer = nullptr;
    varnex_pacer_config config = following();
    config.flags |= VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK;
    EXPECT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_E_INVALID_ARGUMENT);
    config = following();
    config.missed = VARNEX_MISSED_DELAY;
    EXPECT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_E_INVALID_MISSED);
    config = following();
    config.phase_ns = kPeriodNs;
    EXPECT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_E_INVALID_PHASE);

    varnex_pacer_config plain = following();
    plain.flags = 0;
    varnex_pacer* unfollowing = created(plain);
    EXPECT_EQ(varnex_pacer_observe(unfollowing, 0, -1), VARNEX_E_INVALID_ARGUMENT);
    varnex_reference_options options{sizeof options, 0, 0, 0, 0};
    EXPECT_EQ(varnex_pacer_set_reference_options(unfollowing, &options), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(stats_of(unfollowing).reference_state, static_cast<uint32_t>(VARNEX_REFERENCE_NONE));
    varnex_pacer_destroy(unfollowing);

    pacer = created(following());
    EXPECT_EQ(varnex_pacer_set_reference_options(pacer, &options), VARNEX_OK) << "each 0 a default";
    struct Bad {
        const char* what;
        varnex_reference_options options;
    };
    for (const Bad& bad : {Bad{"size", {sizeof options - 8, 0, 0, 0, 0}}, Bad{"slew", {sizeof options, 100001, 0, 0, 0}},
                           Bad{"step", {sizeof options, 0, -1, 0, 0}},
                           Bad{"re-base below step", {sizeof options, 0, 3000000, 2000000, 0}},
                           Bad{"holdover", {sizeof options, 0, 0, 0, -1}}}) {
        SCOPED_TRACE(bad.what);
        EXPECT_EQ(varnex_pacer_set_reference_options(pacer, &bad.options), VARNEX_E_INVALID_ARGUMENT);
    }
    EXPECT_EQ(varnex_pacer_observe(pacer, -1, -1), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(varnex_pacer_observe(pacer, (int64_t{1} << 62) + 1, -1), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(varnex_pacer_observe(pacer, 0, -2), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(varnex_pacer_observe(nullptr, 0, -1), VARNEX_E_INVALID_ARGUMENT);

    // On a counter of 4 GHz, 2^62 ns would not fit in 2^62 counts.
    fake::set_frequency(4000000000);
    varnex_pacer* fast = created(following());
    EXPECT_EQ(varnex_pacer_observe(fast, int64_t{1} << 62, -1), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(varnex_pacer_observe(fast, int64_t{1} << 59, -1), VARNEX_OK);
    varnex_pacer_destroy(fast);
    fake::set_frequency(kNsPerSecond);

    // A stamp later than the wait's own reading (here the system clock's
    // 2026) is rejected, not slept toward: the handle stays armed for the
    // counter's grid.
    varnex_pacer* stamped = created(following());
    intptr_t handle = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(stamped, &handle), VARNEX_OK);
    const int64_t armed = fake::calls_named("arm_ready_timer").back().value;
    ASSERT_EQ(varnex_pacer_observe(stamped, kReferenceAtCreationNs, 1765000000 * kNsPerSecond), VARNEX_OK);
    varnex_tick tick{};
    tick.size = sizeof tick;
    EXPECT_EQ(varnex_pacer_wait(stamped, &tick), VARNEX_E_NOT_DUE);
    EXPECT_EQ(fake::calls_named("arm_ready_timer").back().value, armed);
    EXPECT_EQ(stats_of(stamped).reference_outliers, 1u);
    varnex_pacer_destroy(stamped);

    // A full queue drops the oldest: 300 observations before a wait leave its 256.
    for (int64_t i = 0; i < 300; ++i) {
        ASSERT_EQ(varnex_pacer_observe(pacer, kReferenceAtCreationNs + i * kPeriodNs, kCreatedAtNs + (i - 300) * kPeriodNs),
                  VARNEX_OK);
    }
    waited(pacer);
    varnex_pacer_stats stats = stats_of(pacer);
    EXPECT_EQ(stats.reference_observations, 256u);
    EXPECT_EQ(stats.reference_dropped, 44u);
    EXPECT_EQ(stats.reference_rebases, 1u);
    // A host that knows the 1.6 struct gets its 160 bytes and nothing beyond.
    std::vector<unsigned char> older(sizeof(varnex_pacer_stats), 0xAB);
    reinterpret_cast<varnex_pacer_stats*>(older.data())->size = 160;
    ASSERT_EQ(varnex_pacer_get_stats(pacer, reinterpret_cast<varnex_pacer_stats*>(older.data())), VARNEX_OK);
    EXPECT_TRUE(std::all_of(older.begin() + 160, older.end(), [](unsigned char byte) { return byte == 0xAB; }));
    varnex_pacer_destroy(pacer);

    // The library's clock is the counter's, in ns.
    fake::set_frequency(10000000);
    fake::set_counter(123456789, 1);
    EXPECT_EQ(varnex_clock_ns(), 12345678900);
    fake::set_frequency(0, false);
    EXPECT_EQ(varnex_clock_ns(), -1);
}

// A stream restarted before the pacer settled on it is a new reference, not
// a reading to average with the old one: the grid is re-based onto it.
TEST_F(ReferencePacerTest, AReferenceRestartedWhileAcquiredIsFollowedFromItsNewReading)
{
    varnex_pacer* pacer = created(following());
    ASSERT_EQ(varnex_pacer_observe(pacer, kReferenceAtCreationNs, kCreatedAtNs), VARNEX_OK);
    EXPECT_EQ(waited(pacer).index, static_cast<uint64_t>(kReferenceAtCreationNs / kPeriodNs) + 1);
    ASSERT_EQ(varnex_pacer_observe(pacer, 2500000, varnex_clock_ns()), VARNEX_OK);
    const varnex_tick tick = waited(pacer);
    EXPECT_EQ(tick.index, 3u);
    EXPECT_EQ(tick.missed, 0u);
    EXPECT_EQ(stats_of(pacer).reference_rebases, 2u);
    varnex_pacer_destroy(pacer);
}

// The reference steps at tick 150 of a 100 Hz pacer that observes it, read
// exactly, before each wait: one rejection leaves the state locked, the
// second does not, and the third is the step.
TEST_F(ReferencePacerTest, AStepIsTakenAtItsThirdObservationAndTheStateIsAcquiringFromItsSecond)
{
    constexpr int64_t kTickNs = 10000000;
    for (const int64_t step_ns : {-50000000, 30000000}) {
        SCOPED_TRACE(step_ns);
        varnex_pacer_config config = following();
        config.rate_num = static_cast<uint32_t>(kNsPerSecond / kTickNs);
        varnex_pacer* pacer = created(config);
        Truth truth;
        std::vector<varnex_pacer_stats> stats;
        std::vector<int64_t> reference_lead_ns;  // of the tick's index, over the reference at its return
        for (int i = 0; i <= 152; ++i) {
            int64_t now_ns = varnex_clock_ns();
            if (i == 150) {
                truth.change(now_ns, 1.0, step_ns);
            }
            ASSERT_EQ(varnex_pacer_observe(pacer, truth.reading(now_ns), now_ns), VARNEX_OK);
            const varnex_tick tick = waited(pacer);
            now_ns = varnex_clock_ns();
            reference_lead_ns.push_back(static_cast<int64_t>(tick.index) * kTickNs - truth.reading(now_ns));
            stats.push_back(stats_of(pacer));
        }
        const auto locked = static_cast<uint32_t>(VARNEX_REFERENCE_LOCKED);
        const auto acquiring = static_cast<uint32_t>(VARNEX_REFERENCE_ACQUIRING);
        EXPECT_EQ(stats[149].reference_state, locked);
        EXPECT_EQ(stats[150].reference_state, locked);
        EXPECT_EQ(stats[151].reference_state, acquiring);
        EXPECT_EQ(stats[151].reference_steps, 0u);
        EXPECT_EQ(stats[151].reference_outliers, 2u);
        EXPECT_EQ(stats[152].reference_steps, 1u);
        EXPECT_EQ(stats[152].reference_outliers, 2u);
        EXPECT_LE(std::llabs(reference_lead_ns[152]), 1000) << "the tick from the step on is the reference's";
        varnex_pacer_destroy(pacer);
    }
}

// On the readiness handle: a loop woken at the counter's grid is told of the
// re-base at its call, and the handle is armed for the tick's new instant.
TEST_F(ReferencePacerTest, TheHandleIsReArmedWhenARebaseMovesTheTick)
{
    varnex_pacer* pacer = created(following());
    intptr_t handle = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
    const int64_t armed = fake::calls_named("arm_ready_timer").back().value;
    EXPECT_EQ(armed, kCreatedAtNs + kPeriodNs);
    // The reference's next grid point lies 0.6 ms after the counter's.
    ASSERT_EQ(varnex_pacer_observe(pacer, 400000, kCreatedAtNs), VARNEX_OK);
    fake::set_counter(armed, 1);
    varnex_tick tick{};
    tick.size = sizeof tick;
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_NOT_DUE);
    EXPECT_EQ(fake::calls_named("arm_ready_timer").back().value, kCreatedAtNs + kPeriodNs + 600000);
    fake::set_counter(kCreatedAtNs + kPeriodNs + 600000, 1);
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
    EXPECT_EQ(tick.index, 2u);
    EXPECT_EQ(tick.lateness_ns, 0);
    varnex_pacer_destroy(pacer);
}

}  // namespace
