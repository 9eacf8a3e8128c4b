// A pacer that follows a simulated reference, against the reference's truth:
// 1,000 observations a second, +300 ppm, Gaussian jitter of 20 us, in three
// scenarios that take turns round by round: the plain reference, a change of
// its rate by 600 ppm halfway, and 1% of the observations 1 ms late. Beside
// the following grid, the grids of two hosts that do without the estimate,
// from the same observations: one re-anchored at every observation, one that
// ran free from the first. Each tick's deadline comes from the library's own
// readings: the running sum of the intervals, from the creation's reading
// (the reading after the create, which takes its own as it ends), less the
// lateness. "Locked": 50 ticks in a row within 20 us of the reference.
//
// usage: varnex_reference_bench [--rounds N] [--seconds S]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "arguments.h"
#include "percentile.h"
#include "varnex/pacer.h"

namespace {

constexpr int64_t kPeriodNs = 1000000;
constexpr double kPpm = 1e-6;
constexpr double kLockNs = 20000.0;
constexpr size_t kLockTicks = 50;
constexpr double kSlew = 500e-6;

struct Scenario {
    const char* name;
    double change_ppm;     // at half the run
    double outlier_share;  // of 1 ms, late
};

struct Outcome {
    std::vector<double> following_ns, reanchored_ns, free_ns;  // signed, per tick
    std::vector<double> rate_error_ppm;                        // the estimate's, per tick
    std::vector<bool> within_slew;                             // each interval
    uint64_t steps = 0;
    double creation_bracket_ns = 0.0;
};

// The first of kLockTicks ticks in a row within kLockNs, from `from` on.
size_t locked_from(const std::vector<double>& errors_ns, size_t from)
{
    size_t in_row = 0;
    for (size_t i = from; i < errors_ns.size(); ++i) {
        in_row = std::fabs(errors_ns[i]) <= kLockNs ? in_row + 1 : 0;
        if (in_row == kLockTicks) {
            return i + 1 - kLockTicks;
        }
    }
    return errors_ns.size();
}

double p99_abs_ns(const std::vector<double>& errors_ns, size_t from, size_t to)
{
    std::vector<double> magnitudes;
    for (size_t i = from; i < std::min(to, errors_ns.size()); ++i) {
        magnitudes.push_back(std::fabs(errors_ns[i]));
    }
    return magnitudes.empty() ? NAN : percentile(magnitudes, 0.99);
}

Outcome run(const Scenario& scenario, int ticks, uint64_t seed)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 1000;
    config.rate_den = 1;
    config.mode = VARNEX_MODE_SLEEP;
    config.flags = VARNEX_PACER_FOLLOW_REFERENCE;
    Outcome outcome;
    varnex_pacer* pacer = nullptr;
    const int64_t before_ns = varnex_clock_ns();
    if (varnex_pacer_create(&config, &pacer) != VARNEX_OK) {
        std::fprintf(stderr, "no pacer\n");
        std::exit(1);
    }
    const int64_t created_ns = varnex_clock_ns();
    outcome.creation_bracket_ns = static_cast<double>(created_ns - before_ns);
    std::mt19937_64 random(seed);
    std::normal_distribution<double> jitter_ns(0.0, 20000.0);
    std::uniform_real_distribution<double> share(0.0, 1.0);
    // The reference: its reading and rate from an anchor on.
    int64_t anchor_local_ns = created_ns;
    double anchor_reading_ns = 7e12;
    double rate = 1.0 + 300 * kPpm;
    const auto reading_at = [&](int64_t local_ns) {
        return anchor_reading_ns + rate * static_cast<double>(local_ns - anchor_local_ns);
    };
    const auto local_of = [&](double reading_ns) {
        return static_cast<double>(anchor_local_ns) + (reading_ns - anchor_reading_ns) / rate;
    };
    int64_t sum_ns = created_ns;
    int64_t first_local_ns = -1, last_local_ns = -1;
    double first_reading_ns = 0.0, last_reading_ns = 0.0;
    int64_t previous_deadline_ns = 0;
    varnex_pacer_stats previous{};
    varnex_tick tick{};
    tick.size = sizeof tick;
    for (int i = 0; i < ticks; ++i) {
        if (varnex_pacer_wait(pacer, &tick) != VARNEX_OK) {
            std::fprintf(stderr, "a wait failed\n");
            std::exit(1);
        }
        sum_ns += tick.interval_ns;
        const int64_t deadline_ns = sum_ns - tick.lateness_ns;
        varnex_pacer_stats stats{};
        stats.size = sizeof stats;
        varnex_pacer_get_stats(pacer, &stats);
        if (first_local_ns >= 0) {
            const double reading_ns = static_cast<double>(tick.index * kPeriodNs);
            const double truth_ns = local_of(reading_ns);
            outcome.following_ns.push_back(static_cast<double>(deadline_ns) - truth_ns);
            outcome.reanchored_ns.push_back(static_cast<double>(last_local_ns) + (reading_ns - last_reading_ns) - truth_ns);
            outcome.free_ns.push_back(static_cast<double>(first_local_ns) + (reading_ns - first_reading_ns) - truth_ns);
            outcome.rate_error_ppm.push_back(static_cast<double>(stats.reference_rate_offset_ppb) * 1e-3 -
                                             (rate - 1.0) / kPpm);
            // The interval planned as the wait before began, by that wait's
            // estimate; where ticks were missed, the late wait planned anew.
            if (stats.reference_steps == previous.reference_steps &&
                stats.reference_rebases == previous.reference_rebases && tick.missed == 0) {
                const double period_ns = kPeriodNs / (1.0 + previous.reference_rate_offset_ppb * 1e-9);
                const auto interval_ns = static_cast<double>(deadline_ns - previous_deadline_ns);
                outcome.within_slew.push_back(std::fabs(interval_ns - period_ns) <= kSlew * period_ns + 1.0);
            }
        }
        previous = stats;
        previous_deadline_ns = deadline_ns;
        outcome.steps = stats.reference_steps;
        if (i == ticks / 2 && scenario.change_ppm != 0.0) {
            anchor_reading_ns = reading_at(deadline_ns);
            anchor_local_ns = deadline_ns;
            rate += scenario.change_ppm * kPpm;
        }
        const int64_t local_ns = varnex_clock_ns();
        double observed_ns = reading_at(local_ns) + jitter_ns(random);
        if (share(random) < scenario.outlier_share) {
            observed_ns += 1e6;
        }
        varnex_pacer_observe(pacer, std::llround(observed_ns), local_ns);
        if (first_local_ns < 0) {
            first_local_ns = local_ns;
            first_reading_ns = observed_ns;
        }
        last_local_ns = local_ns;
        last_reading_ns = observed_ns;
    }
    varnex_pacer_destroy(pacer);
    return outcome;
}

double rms(const std::vector<double>& values, size_t from, size_t to)
{
    double sum = 0.0;
    size_t count = 0;
    for (size_t i = from; i < std::min(to, values.size()); ++i) {
        sum += values[i] * values[i];
        ++count;
    }
    return count == 0 ? NAN : std::sqrt(sum / static_cast<double>(count));
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 2;
    double seconds = 12.0;
    const arguments::Parsed parsed = arguments::parse(
        argc, argv,
        {{"--rounds", [&](const char* value) { return (rounds = std::atoi(value)) > 0; }},
         {"--seconds", [&](const char* value) { return (seconds = std::atof(value)) >= 8.0; }}},
        {"--help", "-h"});
    if (parsed.outcome != arguments::Outcome::kRun) {
        std::fprintf(parsed.outcome == arguments::Outcome::kHelp ? stdout : stderr,
                     "usage: varnex_reference_bench [--rounds N] [--seconds S (8 or more)]\n");
        return parsed.outcome == arguments::Outcome::kHelp ? 0 : 2;
    }
    const int ticks = static_cast<int>(seconds * 1000);
    const Scenario scenarios[] = {{"plain", 0.0, 0.0}, {"rate +600 ppm at half", 600.0, 0.0}, {"1% outliers of 1 ms", 0.0, 0.01}};
    std::printf("%-22s %5s %8s %10s %10s %10s %9s %10s %9s %5s %9s\n", "scenario", "round", "lock ms", "p99 follow",
                "p99 anchor", "p99 free", "rate rms", "relock ms", "in slew", "steps", "bracket");
    for (int round = 0; round < rounds; ++round) {
        for (const Scenario& scenario : scenarios) {
            const Outcome outcome = run(scenario, ticks, 1000 + static_cast<uint64_t>(round));
            const size_t locked = locked_from(outcome.following_ns, 0);
            const size_t half = outcome.following_ns.size() / 2;
            const size_t measured_to = scenario.change_ppm != 0.0 ? half : outcome.following_ns.size();
            const size_t from = locked + 500;
            // After the change: the first tick out of lock, then locked again.
            size_t relock_ms = 0;
            if (scenario.change_ppm != 0.0) {
                size_t out = half;
                while (out < outcome.following_ns.size() && std::fabs(outcome.following_ns[out]) <= kLockNs) {
                    ++out;
                }
                relock_ms = locked_from(outcome.following_ns, out) - half;
            }
            const size_t in_slew = static_cast<size_t>(
                std::count(outcome.within_slew.begin(), outcome.within_slew.end(), true));
            std::printf("%-22s %5d %8zu %8.2fus %8.2fus %8.1fus %6.2fppm %10s %4zu/%-4zu %5llu %7.0fus\n", scenario.name,
                        round + 1, locked, p99_abs_ns(outcome.following_ns, from, measured_to) / 1e3,
                        p99_abs_ns(outcome.reanchored_ns, from, measured_to) / 1e3,
                        p99_abs_ns(outcome.free_ns, from, measured_to) / 1e3,
                        rms(outcome.rate_error_ppm, locked + 5000, measured_to),
                        scenario.change_ppm != 0.0 ? std::to_string(relock_ms).c_str() : "-", in_slew,
                        outcome.within_slew.size(), static_cast<unsigned long long>(outcome.steps),
                        outcome.creation_bracket_ns / 1e3);
        }
    }
    return 0;
}
