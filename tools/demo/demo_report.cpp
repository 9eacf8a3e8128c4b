#include "demo_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "percentile.h"

namespace {

// Errors in microseconds, by decade of magnitude on either side of zero.
void print_histogram(const std::vector<double>& errors_s)
{
    const double edges_us[] = {-1000, -100, -10, -1, 0, 1, 10, 100, 1000};
    const char* labels[] = {"< -1 ms", "-1 ms..-100 us", "-100..-10 us", "-10..-1 us", "-1..0 us",
                            "0..1 us", "1..10 us", "10..100 us", "100 us..1 ms", "> 1 ms"};
    constexpr int kBins = 10;
    long counts[kBins] = {};
    for (const double error_s : errors_s) {
        const double error_us = error_s * 1e6;
        int bin = 0;
        while (bin < kBins - 1 && error_us >= edges_us[bin]) {
            ++bin;
        }
        ++counts[bin];
    }
    const long largest = *std::max_element(counts, counts + kBins);
    std::printf("\nerror per period (measured - nominal):\n");
    for (int bin = 0; bin < kBins; ++bin) {
        if (counts[bin] == 0) {
            continue;
        }
        const int width = static_cast<int>(std::ceil(40.0 * static_cast<double>(counts[bin]) / static_cast<double>(largest)));
        std::printf("  %14s | %-40s %ld\n", labels[bin], std::string(static_cast<size_t>(width), '#').c_str(), counts[bin]);
    }
}

void print_pacer_figures(const Options& options, const Run& run)
{
    const varnex_pacer_stats& stats = run.stats;
    // The pacer's own figures: its grid does not drift, so its lateness
    // stays flat however long the run.
    std::printf("missed ticks     %llu\n", static_cast<unsigned long long>(run.missed_ticks));
    std::printf("lateness p50     %.3f us (the pacer's own statistics; p99 %.3f us, max %.3f us)\n",
                static_cast<double>(stats.lateness_p50_ns) / 1e3, static_cast<double>(stats.lateness_p99_ns) / 1e3,
                static_cast<double>(stats.lateness_max_ns) / 1e3);
    std::printf("pacer drift      %.3f us (latest 1,000 ticks' mean lateness against the first 1,000's)\n",
                static_cast<double>(stats.drift_ns) / 1e3);
    std::printf("pacer CPU        %.3f s spinning, %.3f s asleep; the thread's CPU time %.3f s\n",
                static_cast<double>(stats.spin_ns) * 1e-9, static_cast<double>(stats.sleep_ns) * 1e-9,
                static_cast<double>(stats.cpu_ns) * 1e-9);
    if (options.mode == VARNEX_MODE_HYBRID && !options.simulated) {
        std::printf("hybrid margin    %.1f us (learned from the sleeps' oversleep%s)\n",
                    static_cast<double>(stats.margin_ns) / 1e3, options.budget_us > 0 ? ", less the budget" : "");
    }
    std::printf("late ticks       %llu beyond %.1f us: %llu overslept, %llu preempted, %llu with the host late\n",
                static_cast<unsigned long long>(stats.late_ticks),
                options.budget_us > 0 ? options.budget_us : VARNEX_ON_TIME_NS / 1e3,
                static_cast<unsigned long long>(stats.late_overslept),
                static_cast<unsigned long long>(stats.late_preempted),
                static_cast<unsigned long long>(stats.late_host_late));
    if (options.follow_reference) {
        const char* states[] = {"none", "acquiring", "locked", "holding over"};
        std::printf("reference        %s at %+.3f ppm (simulated %+.3f ppm, jitter %.1f us); phase error %+.3f us\n",
                    states[stats.reference_state < 4 ? stats.reference_state : 0],
                    static_cast<double>(stats.reference_rate_offset_ppb) / 1e3, options.reference_ppm,
                    options.reference_jitter_us, static_cast<double>(stats.reference_phase_error_ns) / 1e3);
        std::printf("reference counts %llu observations, %llu re-bases, %llu steps, %llu outliers, %llu dropped; "
                    "jitter %.1f us\n",
                    static_cast<unsigned long long>(stats.reference_observations),
                    static_cast<unsigned long long>(stats.reference_rebases),
                    static_cast<unsigned long long>(stats.reference_steps),
                    static_cast<unsigned long long>(stats.reference_outliers),
                    static_cast<unsigned long long>(stats.reference_dropped),
                    static_cast<double>(stats.reference_jitter_ns) / 1e3);
    }
    if (options.controls.flags != 0) {
        const char* names[] = {"boost", "affinity", "realtime", "lock-memory", "dma-latency", "no-throttling",
                               "mmcss"};
        std::printf("controls        ");
        for (int bit = 0; bit < 7; ++bit) {
            const uint32_t flag = 1u << bit;
            if ((options.controls.flags & flag) != 0) {
                std::printf(" %s %s;", names[bit],
                            (stats.controls_active & flag) != 0   ? "active"
                            : (stats.controls_denied & flag) != 0 ? "denied (no privilege)"
                            : (stats.controls_unsupported & flag) != 0 ? "unsupported here"
                                                                       : "not needed yet");
            }
        }
        std::printf("\n");
    }
}

}  // namespace

std::string microseconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f us", seconds * 1e6);
    return text;
}

bool write_csv(const std::string& path, const Run& run, double nominal_s)
{
    std::FILE* csv = std::fopen(path.c_str(), "w");
    if (csv == nullptr) {
        return false;
    }
    std::fprintf(csv, "tick,interval_s,error_s\n");
    for (size_t tick = 0; tick < run.intervals_s.size(); ++tick) {
        std::fprintf(csv, "%zu,%.9f,%.9f\n", tick + 1, run.intervals_s[tick], run.intervals_s[tick] - nominal_s);
    }
    std::fclose(csv);
    return true;
}

void print_report(const Options& options, const Run& run)
{
    const double nominal_s = 1.0 / static_cast<double>(options.rate);
    const double wall_s = run.wall_s;
    std::vector<double> errors_s;
    double sum_s = 0.0;
    for (const double interval_s : run.intervals_s) {
        errors_s.push_back(interval_s - nominal_s);
        sum_s += interval_s;
    }
    const double count = static_cast<double>(run.intervals_s.size());
    const char* policies[] = {"skip", "burst", "delay"};
    if (options.simulated) {
        // A wait on it takes no time: the clock moves to the deadline.
        std::printf("pacer (simulated clock, missed ticks: %s), %ld ticks per second: %zu ticks in %.3f s of the "
                    "clock's time, %.3f s of real time\n",
                    policies[options.missed], options.rate, run.intervals_s.size(), wall_s, run.real_s);
    } else if (options.variant == Variant::kPacer) {
        const char* modes[] = {"spin", "sleep", "hybrid"};
        std::printf("pacer (%s, missed ticks: %s), %ld ticks per second: %zu ticks in %.3f s\n",
                    modes[options.mode], policies[options.missed], options.rate, run.intervals_s.size(), wall_s);
    } else {
        std::printf("%s timer, %ld ticks per second, priority index %d: %zu ticks in %.3f s\n",
                    options.variant == Variant::kThreaded ? "threaded" : "polling", options.rate,
                    options.priority_index, run.intervals_s.size(), wall_s);
    }
    std::printf("nominal period   %.3f us\n", nominal_s * 1e6);
    std::printf("mean period      %.3f us\n", sum_s / count * 1e6);
    std::printf("error p50        %s\n", microseconds(percentile(errors_s, 0.5)).c_str());
    std::printf("error p99        %s\n", microseconds(percentile(errors_s, 0.99)).c_str());
    std::printf("error p99.9      %s\n", microseconds(percentile(errors_s, 0.999)).c_str());
    std::printf("error max        %s\n", microseconds(percentile(errors_s, 1.0)).c_str());
    std::printf("drift            %s over the run (host clock against %zu ideal periods)\n",
                microseconds(wall_s - count * nominal_s).c_str(), run.intervals_s.size());
    std::printf("CPU per second   %.3f s\n", run.real_s > 0 ? run.cpu_s / run.real_s : 0.0);
    if (!run.grid_offsets_s.empty()) {
        std::printf("grid offset p50  %s (the system clock at each return, less its grid point)\n",
                    microseconds(percentile(run.grid_offsets_s, 0.5)).c_str());
        std::printf("grid offset p99  %s\n", microseconds(percentile(run.grid_offsets_s, 0.99)).c_str());
    }
    if (options.variant == Variant::kPacer) {
        print_pacer_figures(options, run);
    }
    print_histogram(errors_s);
}
