// A pacer that follows a simulated reference on the real clock: +300 ppm
// against CLOCK_MONOTONIC, 20 us of Gaussian jitter, observed after every
// tick at 1,000 ticks a second. Each tick's deadline comes from the library's
// own readings (the running sum of the intervals from the creation, less the
// lateness), never from a reading after the return, which this VM can delay
// by milliseconds. The same observations give the grids of two hosts that do
// without the estimate: one re-anchored at every observation, one that ran
// free from the first.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "varnex/pacer.hpp"

namespace {

constexpr int64_t kPeriodNs = 1000000;
constexpr double kRate = 1.0 + 300e-6;
constexpr int kTicks = 3000;
// The grids are compared over the last second.
constexpr int kComparedFrom = 2000;

double mean(const std::vector<double>& errors_ns)
{
    double sum = 0.0;
    for (const double error : errors_ns) {
        sum += error;
    }
    return sum / static_cast<double>(errors_ns.size());
}

// The errors' spread about their mean: the creation's reading, known only
// within its bracket, moves the mean of the following pacer's alone.
double spread(const std::vector<double>& errors_ns)
{
    const double centre = mean(errors_ns);
    double sum = 0.0;
    for (const double error : errors_ns) {
        sum += (error - centre) * (error - centre);
    }
    return std::sqrt(sum / static_cast<double>(errors_ns.size()));
}

TEST(ReferenceClock, FollowingBeatsReanchoringAtEveryObservationAndRunningFree)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 1000;
    config.rate_den = 1;
    config.mode = VARNEX_MODE_SLEEP;
    config.flags = VARNEX_PACER_FOLLOW_REFERENCE;
    // The creation takes its reading as it ends, after its allocations: the
    // deadlines' sum starts at most `bracket_ns` before the reading after it.
    const int64_t before_ns = varnex_clock_ns();
    std::optional<varnex::Pacer> pacer(std::in_place, config);
    const int64_t created_ns = varnex_clock_ns();
    const int64_t bracket_ns = created_ns - before_ns;

    const int64_t origin_ns = created_ns;
    const int64_t reference_at_origin_ns = 5000000000000;
    const auto truth_local_ns = [&](int64_t reading_ns) {
        return static_cast<double>(origin_ns) + static_cast<double>(reading_ns - reference_at_origin_ns) / kRate;
    };
    std::mt19937_64 random(1);
    std::normal_distribution<double> jitter_ns(0.0, 20000.0);

    std::vector<double> following, reanchored, free_running;
    int64_t sum_ns = created_ns;
    int64_t first_local_ns = -1, first_reading_ns = 0, last_local_ns = -1, last_reading_ns = 0;
    varnex_tick tick{};
    for (int i = 0; i < kTicks; ++i) {
        ASSERT_EQ(pacer->wait(tick), VARNEX_OK);
        ASSERT_GE(tick.lateness_ns, 0) << "a tick came before its deadline";
        sum_ns += tick.interval_ns;
        const int64_t deadline_ns = sum_ns - tick.lateness_ns;
        const varnex_pacer_stats stats = pacer->stats();
        if (i >= kComparedFrom) {
            const auto reading_ns = static_cast<int64_t>(tick.index) * kPeriodNs;
            const double truth_ns = truth_local_ns(reading_ns);
            following.push_back(static_cast<double>(deadline_ns) - truth_ns);
            reanchored.push_back(static_cast<double>(last_local_ns + (reading_ns - last_reading_ns)) - truth_ns);
            free_running.push_back(static_cast<double>(first_local_ns + (reading_ns - first_reading_ns)) - truth_ns);
            ASSERT_EQ(stats.reference_rebases, 1u);
        }
        const int64_t local_ns = varnex::clock_ns();
        const double exact_ns =
            static_cast<double>(reference_at_origin_ns) + kRate * static_cast<double>(local_ns - origin_ns);
        const auto reading_ns = static_cast<int64_t>(std::llround(exact_ns + jitter_ns(random)));
        pacer->observe(reading_ns, local_ns);
        if (first_local_ns < 0) {
            first_local_ns = local_ns;
            first_reading_ns = reading_ns;
        }
        last_local_ns = local_ns;
        last_reading_ns = reading_ns;
    }
    const varnex_pacer_stats stats = pacer->stats();
    EXPECT_EQ(stats.reference_state, static_cast<uint32_t>(VARNEX_REFERENCE_LOCKED));
    EXPECT_EQ(stats.reference_steps, 0u);
    EXPECT_EQ(stats.reference_outliers + stats.reference_dropped, 0u);
    // Nearer the reference's rate than the counter's.
    EXPECT_GT(stats.reference_rate_offset_ppb, 150000);
    EXPECT_LT(stats.reference_rate_offset_ppb, 450000);
    EXPECT_LT(spread(following), spread(reanchored)) << "following against re-anchoring at every observation";
    const double offset_ns = mean(following);
    // Running free, the grid has run 600 us and more from the reference by now.
    EXPECT_LT(std::fabs(offset_ns), std::fabs(mean(free_running))) << "following against running free";
    EXPECT_GT(offset_ns, -5.0 * spread(reanchored)) << "the following grid is late against the reference";
    EXPECT_LT(offset_ns, static_cast<double>(bracket_ns) + 5.0 * spread(reanchored))
        << "the following grid is early against the reference";
    RecordProperty("following_spread_ns", static_cast<int>(spread(following)));
}

}  // namespace
