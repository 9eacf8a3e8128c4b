// The demo host: paces itself with Varnex and shows how well it was paced.
// On Windows it loads Varnex.dll and binds every function by its exported
// name, as hosts of the DLL do (windows_binding.cpp).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#if defined(_WIN32)
#  include <io.h>
#else
#  include <unistd.h>
#endif

#include "demo_options.h"
#include "demo_report.h"
#include "percentile.h"
#include "process_cpu.h"
#include "system_clock.h"
#include "varnex.h"

namespace {

bool stdout_is_terminal()
{
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

// A reference that runs `ppm` fast against the library's clock, read with
// Gaussian jitter: what an audio device's clock or a fieldbus's would be.
class SimulatedReference {
public:
    SimulatedReference(double ppm, double jitter_us)
        : rate_(1.0 + ppm * 1e-6), jitter_ns_(0.0, jitter_us * 1e3), spread_ns_(jitter_us * 1e3)
    {
    }

    void observe(varnex_pacer* pacer)
    {
        const int64_t now_ns = varnex_clock_ns();
        const double noise_ns = spread_ns_ > 0 ? jitter_ns_(random_) : 0.0;
        varnex_pacer_observe(pacer, std::llround(kStartNs + rate_ * static_cast<double>(now_ns - origin_ns_) + noise_ns),
                             now_ns);
    }

private:
    // Far from the library's clock, as a PTP clock's time since 1970 is.
    static constexpr double kStartNs = 1.7e18;
    const int64_t origin_ns_ = varnex_clock_ns();
    double rate_;
    std::mt19937_64 random_{33};
    std::normal_distribution<double> jitter_ns_;
    double spread_ns_;
};

// The timer the options name; each wait returns the interval in seconds, or
// a negative number once no tick came.
class Timer {
public:
    // False (with its message printed) when the timer did not open.
    bool open(const Options& options)
    {
        if (options.variant == Variant::kPacer) {
            varnex_pacer_config config;
            varnex_pacer_config_init(&config);
            config.rate_num = static_cast<uint32_t>(options.rate);
            config.rate_den = 1;
            config.mode = options.mode;
            config.missed = options.missed;
            config.flags = options.align_flags | (options.follow_reference ? VARNEX_PACER_FOLLOW_REFERENCE : 0);
            int status = options.simulated ? create_simulated(config) : varnex_pacer_create(&config, &pacer_);
            if (status != VARNEX_OK) {
                std::fprintf(stderr, "%s: the pacer was not created: %s\n", kProgramName,
                             varnex_strerror(status));
                return false;
            }
            if (options.budget_us >= 0 &&
                (status = varnex_pacer_set_lateness_budget(pacer_, std::llround(options.budget_us * 1e3))) != VARNEX_OK) {
                std::fprintf(stderr, "%s: the budget was not set: %s\n", kProgramName,
                             varnex_strerror(status));
                return false;
            }
            if (options.controls.flags != 0 &&
                (status = varnex_pacer_set_controls(pacer_, &options.controls)) != VARNEX_OK) {
                std::fprintf(stderr, "%s: the controls were not set: %s\n", kProgramName,
                             varnex_strerror(status));
                return false;
            }
            return true;
        }
        if (options.variant == Variant::kThreaded) {
            timer_ = OpenRTTimer(options.rate, options.priority_index);
            // Its first wait measures from reading 0; it only sets the phase.
            if (timer_ != nullptr) {
                WaitForRTTimer(timer_);
            }
        } else {
            token_ = OpenRTTimerLV(options.rate, options.priority_index);
        }
        if (timer_ == nullptr && token_ == 0) {
            std::fprintf(stderr, "%s: the timer did not open\n", kProgramName);
            return false;
        }
        return true;
    }

    // The pacer's tick index goes to `index`.
    double wait(uint64_t& missed_ticks, uint64_t& index)
    {
        if (pacer_ == nullptr) {
            return timer_ != nullptr ? WaitForRTTimer(timer_) : WaitForRTTimerLV(token_);
        }
        varnex_tick tick{};
        tick.size = sizeof tick;
        if (varnex_pacer_wait(pacer_, &tick) != VARNEX_OK) {
            return -1.0;
        }
        missed_ticks += tick.missed;
        index = tick.index;
        if (reference_ != nullptr) {
            reference_->observe(pacer_);
        }
        return tick.interval_s;
    }

    void follow(SimulatedReference* reference) { reference_ = reference; }

    // Seconds on the pacer's clock: the simulated clock's reading, or the
    // steady clock's since `start`.
    double elapsed_s(std::chrono::steady_clock::time_point start) const
    {
        if (clock_ == nullptr) {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
        int64_t now_ns = 0;
        varnex_sim_clock_now(clock_, &now_ns);
        return static_cast<double>(now_ns) * 1e-9;
    }

    varnex_pacer_stats stats() const
    {
        varnex_pacer_stats stats{};
        stats.size = sizeof stats;
        if (pacer_ != nullptr) {
            varnex_pacer_get_stats(pacer_, &stats);
        }
        return stats;
    }

    void close()
    {
        if (timer_ != nullptr) {
            CloseRTTimer(timer_);
        }
        varnex_pacer_destroy(pacer_);
        varnex_sim_clock_destroy(clock_);
    }

private:
    // The pacer on a clock from 0 that moves to each deadline as soon as the
    // loop waits for it.
    int create_simulated(const varnex_pacer_config& config)
    {
        varnex_sim_clock_config clock_config{};
        clock_config.size = sizeof clock_config;
        clock_config.flags = VARNEX_SIM_AUTO_ADVANCE;
        const int status = varnex_sim_clock_create(&clock_config, &clock_);
        return status != VARNEX_OK ? status : varnex_pacer_create_on(&config, clock_, &pacer_);
    }

    varnex_sim_clock* clock_ = nullptr;
    varnex_pacer* pacer_ = nullptr;
    SimulatedReference* reference_ = nullptr;
    void* timer_ = nullptr;
    unsigned int token_ = 0;
};

void show_progress(const Run& run, const Timer& timer, double cpu_start_s, double real_s, double worst_error_s)
{
    std::printf("\r%zu ticks, %.2f s, worst error %s", run.intervals_s.size(), run.wall_s,
                microseconds(worst_error_s).c_str());
    const varnex_pacer_stats live = timer.stats();
    if (live.ticks > 0) {
        std::printf(", lateness p99 %.1f us, CPU %.2f", static_cast<double>(live.lateness_p99_ns) / 1e3,
                    (process_cpu_seconds() - cpu_start_s) / real_s);
    }
    if (live.reference_observations > 0) {
        const char* states[] = {"none", "acquiring", "locked", "holding over"};
        std::printf(", reference %s, rate %+.2f ppm, phase error %+.1f us",
                    states[live.reference_state < 4 ? live.reference_state : 0],
                    static_cast<double>(live.reference_rate_offset_ppb) / 1e3,
                    static_cast<double>(live.reference_phase_error_ns) / 1e3);
    }
    if (!run.grid_offsets_s.empty()) {
        std::printf(", grid offset p50 %.1f us p99 %.1f us", percentile(run.grid_offsets_s, 0.5) * 1e6,
                    percentile(run.grid_offsets_s, 0.99) * 1e6);
    }
    std::printf("   ");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (const int exit_status = parse_options(argc, argv, options); exit_status != kRunDemo) {
        return exit_status;
    }
    Timer timer;
    if (!timer.open(options)) {
        return 1;
    }
    SimulatedReference reference(options.reference_ppm, options.reference_jitter_us);
    if (options.follow_reference) {
        timer.follow(&reference);
    }
    using Clock = std::chrono::steady_clock;
    const double nominal_s = 1.0 / static_cast<double>(options.rate);
    const bool progress = stdout_is_terminal();
    Run run;
    const Clock::time_point start = Clock::now();
    const double cpu_start_s = process_cpu_seconds();
    double last_progress_s = 0.0;
    double worst_error_s = 0.0;
    while (options.seconds > 0 ? run.wall_s < options.seconds
                               : static_cast<long>(run.intervals_s.size()) < options.ticks) {
        uint64_t index = 0;
        const double interval_s = timer.wait(run.missed_ticks, index);
        if (options.align_flags != 0 && interval_s >= 0) {
            const int64_t clock_ns = system_clock_ns((options.align_flags & VARNEX_PACER_TAI) != 0);
            run.grid_offsets_s.push_back(static_cast<double>(clock_ns - grid_point_ns(index, options.rate)) * 1e-9);
        }
        run.wall_s = timer.elapsed_s(start);
        if (interval_s < 0) {
            std::fprintf(stderr, "\n%s: no tick came within ten seconds\n", kProgramName);
            return 1;
        }
        run.intervals_s.push_back(interval_s);
        if (std::fabs(interval_s - nominal_s) > std::fabs(worst_error_s)) {
            worst_error_s = interval_s - nominal_s;
        }
        if (progress) {
            const double real_s = std::chrono::duration<double>(Clock::now() - start).count();
            if (real_s - last_progress_s > 0.1) {
                last_progress_s = real_s;
                show_progress(run, timer, cpu_start_s, real_s, worst_error_s);
            }
        }
    }
    run.cpu_s = process_cpu_seconds() - cpu_start_s;
    run.real_s = std::chrono::duration<double>(Clock::now() - start).count();
    run.stats = timer.stats();
    timer.close();
    if (progress) {
        std::printf("\r%*s\r", 100, "");
    }
    if (!options.csv_path.empty() && !write_csv(options.csv_path, run, nominal_s)) {
        std::fprintf(stderr, "%s: cannot write %s\n", kProgramName, options.csv_path.c_str());
        return 1;
    }
    print_report(options, run);
    return 0;
}
