#include "methods.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "called_spin.h"
#include "counter.h"
#include "percentile.h"
#include "process_cpu.h"
#include "varnex.h"

#if defined(_WIN32)
#  include <windows.h>
#  ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#    define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#  endif
#else
#  include <sys/epoll.h>
#  include <time.h>
#  include <unistd.h>
#endif

namespace {

// One tick of a method that knows its own deadline.
struct PacedTick {
    int64_t reading;  // the host's reading after the tick, in counts
    int64_t error_counts;
};

Round run_ticks(long ticks, int64_t period_counts, const std::function<void()>& start,
                const std::function<PacedTick()>& tick)
{
    Round round;
    std::vector<int64_t> readings;
    std::vector<int64_t> indices;
    start();
    const double cpu_start_s = process_cpu_seconds();
    for (long index = 0; index < ticks; ++index) {
        const PacedTick paced = tick();
        readings.push_back(paced.reading);
        indices.push_back(index);
        round.values_ns.push_back(counts_to_ns(paced.error_counts));
    }
    const double wall_s = counts_to_ns(readings.back() - readings.front()) * 1e-9;
    round.cpu_per_second = wall_s > 0 ? (process_cpu_seconds() - cpu_start_s) / wall_s : 0;
    round.drift_ns = drift_ns(readings, indices, period_counts);
    return round;
}

// The floor: a spin to absolute deadlines written inline in the host, with
// the host's reading taken after the spin, as it is after the pacer's wait.
Method bare_absolute_spin(long rate)
{
    return {"bare_spin", "bare spin", rate, [rate](long ticks) {
                const int64_t period = counter_frequency() / rate;
                int64_t deadline = 0;
                return run_ticks(
                    ticks, period, [&] { deadline = read_counter() + period; },
                    [&] {
                        while (read_counter() < deadline) {
                        }
                        const int64_t reading = read_counter();
                        const int64_t lateness = reading - deadline;
                        deadline += period;
                        return PacedTick{reading, lateness};
                    });
            }};
}

// The same spin behind a call: the return to the caller after a spin that a
// timer interrupt crossed costs what it costs any library.
Method called_absolute_spin(long rate)
{
    return {"called_spin", "bare spin behind a function call", rate, [rate](long ticks) {
                const int64_t period = counter_frequency() / rate;
                int64_t deadline = 0;
                return run_ticks(
                    ticks, period, [&] { deadline = read_counter() + period; },
                    [&] {
                        spin_until_in_called_function(deadline, read_counter);
                        const int64_t reading = read_counter();
                        const int64_t lateness = reading - deadline;
                        deadline += period;
                        return PacedTick{reading, lateness};
                    });
            }};
}

// A sleeper on an absolute schedule: `sleep_until(deadline)` in counts.
Method absolute_sleeper(const char* id, const char* name, long rate, std::function<void(int64_t)> sleep_until)
{
    return {id, name, rate, [rate, sleep_until](long ticks) {
                const int64_t period = counter_frequency() / rate;
                int64_t deadline = 0;
                return run_ticks(
                    ticks, period, [&] { deadline = read_counter() + period; },
                    [&] {
                        sleep_until(deadline);
                        const int64_t reading = read_counter();
                        const int64_t lateness = reading - deadline;
                        deadline += period;
                        return PacedTick{reading, lateness};
                    });
            }};
}

// Each rate's sleep-mode lateness so far in this run: the oracle hybrid's
// margin is its p99.5.
std::map<long, std::vector<double>> sleep_lateness_ns;

#if defined(_WIN32)
HANDLE high_resolution_timer()
{
    static HANDLE timer =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    return timer;
}
#endif

}  // namespace

#if defined(_WIN32)
bool has_high_resolution_timer()
{
    return high_resolution_timer() != nullptr;
}
#endif

double drift_ns(const std::vector<int64_t>& readings, const std::vector<int64_t>& indices, int64_t period_counts)
{
    std::vector<double> offsets_ns;
    for (size_t tick = 0; tick < readings.size(); ++tick) {
        offsets_ns.push_back(
            counts_to_ns(readings[tick] - readings.front() - (indices[tick] - indices.front()) * period_counts));
    }
    const auto window = static_cast<long>(std::max<size_t>(1, std::min<size_t>(1000, offsets_ns.size() / 10)));
    return percentile({offsets_ns.end() - window, offsets_ns.end()}, 0.5) -
           percentile({offsets_ns.begin(), offsets_ns.begin() + window}, 0.5);
}

PacerTicks::PacerTicks(long rate) : rate_(rate)
{
}

void PacerTicks::wait(varnex_pacer* pacer, int loop)
{
    varnex_tick tick{};
    tick.size = sizeof tick;
#if !defined(_WIN32)
    if (loop >= 0) {
        epoll_event ready{};
        do {
            epoll_wait(loop, &ready, 1, -1);
        } while (varnex_pacer_wait(pacer, &tick) != VARNEX_OK);
    } else
#else
    (void)loop;
#endif
    {
        varnex_pacer_wait(pacer, &tick);
    }
    readings_.push_back(read_counter());
    lateness_counts_.push_back(tick.lateness_ns * counter_frequency() / 1000000000);
    indices_.push_back(static_cast<int64_t>(tick.index));
}

int64_t PacerTicks::offset_counts(int64_t index) const
{
    return index * counter_frequency() / rate_;
}

std::vector<double> PacerTicks::reported_lateness_ns() const
{
    std::vector<double> lateness;
    for (const int64_t counts : lateness_counts_) {
        lateness.push_back(counts_to_ns(counts));
    }
    return lateness;
}

std::vector<double> PacerTicks::lateness_ns() const
{
    int64_t start = INT64_MAX;
    for (size_t tick = 0; tick < readings_.size(); ++tick) {
        start = std::min(start, readings_[tick] - lateness_counts_[tick] - offset_counts(indices_[tick]));
    }
    std::vector<double> lateness;
    for (size_t tick = 0; tick < readings_.size(); ++tick) {
        lateness.push_back(counts_to_ns(readings_[tick] - start - offset_counts(indices_[tick])));
    }
    return lateness;
}

namespace {

// An epoll loop that waits on the pacer's readiness handle; -1 without one.
int epoll_loop_on(varnex_pacer* pacer)
{
#if defined(_WIN32)
    (void)pacer;
    return -1;
#else
    intptr_t handle = 0;
    if (varnex_pacer_wait_handle(pacer, &handle) != VARNEX_OK) {
        std::fprintf(stderr, "varnex_pacing_bench: no readiness handle\n");
        std::exit(1);
    }
    const int loop = epoll_create1(EPOLL_CLOEXEC);
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = static_cast<int>(handle);
    epoll_ctl(loop, EPOLL_CTL_ADD, static_cast<int>(handle), &interest);
    return loop;
#endif
}

}  // namespace

varnex_pacer* create_pacer(long rate, uint32_t mode, double margin_ns, int64_t phase_ns)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = static_cast<uint32_t>(rate);
    config.rate_den = 1;
    config.mode = mode;
    config.margin_ns = static_cast<uint32_t>(std::max(0.0, margin_ns));
    config.phase_ns = phase_ns;
    varnex_pacer* pacer = nullptr;
    if (const int status = varnex_pacer_create(&config, &pacer); status != VARNEX_OK) {
        std::fprintf(stderr, "varnex_pacing_bench: no pacer: %s\n", varnex_strerror(status));
        std::exit(1);
    }
    return pacer;
}

namespace {

// `ticks` waits on `pacer` after one that only sets the phase, on the epoll
// `loop` if there is one: the lateness as the host saw it, or with
// `reported` as the library reported it.
Round paced_round(varnex_pacer* pacer, long rate, long ticks, int loop, bool reported)
{
    PacerTicks paced(rate);
    paced.wait(pacer, loop);
    paced = PacerTicks(rate);
    const double cpu_start_s = process_cpu_seconds();
    for (long tick = 0; tick < ticks; ++tick) {
        paced.wait(pacer, loop);
    }
    const double cpu_s = process_cpu_seconds() - cpu_start_s;
    Round round;
    round.values_ns = reported ? paced.reported_lateness_ns() : paced.lateness_ns();
    const double wall_s = counts_to_ns(paced.readings().back() - paced.readings().front()) * 1e-9;
    round.cpu_per_second = wall_s > 0 ? cpu_s / wall_s : 0;
    round.drift_ns = drift_ns(paced.readings(), paced.indices(), counter_frequency() / rate);
    return round;
}

}  // namespace

// `margin_ns`: a fixed hybrid margin; 0 learns it; negative takes the
// oracle's: the p99.5 of this rate's sleep-mode lateness so far, or for a
// budget B, its p99 less B (at least 1 ns, since 0 would learn).
Method pacer_method(long rate, uint32_t mode, const char* id, const char* name, double margin_ns,
                    varnex_pacer_controls controls, bool on_handle, int64_t budget_ns)
{
    const std::string label = name;  // the caller's text may not outlive the method
    return {id, name, rate, [rate, mode, margin_ns, controls, label, on_handle, budget_ns](long ticks) {
                const std::vector<double>& slept = sleep_lateness_ns[rate];
                const double oracle = budget_ns > 0 ? std::max(percentile(slept, 0.99) - budget_ns, 1.0)
                                                    : percentile(slept, 0.995);
                varnex_pacer* pacer = create_pacer(rate, mode, margin_ns < 0 ? oracle : margin_ns);
                if (margin_ns == 0 && budget_ns > 0 && varnex_pacer_set_lateness_budget(pacer, budget_ns) != VARNEX_OK) {
                    std::fprintf(stderr, "varnex_pacing_bench: %s: budget refused\n", label.c_str());
                    std::exit(1);
                }
                if (controls.flags != 0 && varnex_pacer_set_controls(pacer, &controls) != VARNEX_OK) {
                    std::fprintf(stderr, "varnex_pacing_bench: %s: controls refused\n", label.c_str());
                    std::exit(1);
                }
                const int loop = on_handle ? epoll_loop_on(pacer) : -1;
                Round round = paced_round(pacer, rate, ticks, loop, false);
#if !defined(_WIN32)
                if (loop >= 0) {
                    close(loop);
                }
#endif
                varnex_pacer_destroy(pacer);
                if (mode == VARNEX_MODE_SLEEP) {
                    std::vector<double>& all = sleep_lateness_ns[rate];
                    all.insert(all.end(), round.values_ns.begin(), round.values_ns.end());
                }
                return round;
            }};
}

Method pacer_spin_reported(long rate)
{
    return {"pacer_spin_reported", "varnex pacer spin as it reports itself", rate, [rate](long ticks) {
                varnex_pacer* pacer = create_pacer(rate, VARNEX_MODE_SPIN, 0);
                const Round round = paced_round(pacer, rate, ticks, -1, true);
                varnex_pacer_destroy(pacer);
                return round;
            }};
}

// The polling timer, as a host calls it: the interval it returns is the
// tick's measure.
Method varnex_polling(long rate)
{
    return {"polling", "varnex polling", rate, [rate](long ticks) {
                const int64_t period = counter_frequency() / rate;
                unsigned int token = 0;
                int64_t reading = 0;
                return run_ticks(
                    ticks, period, [&] { token = OpenRTTimerLV(rate, 0); WaitForRTTimerLV(token); },
                    [&] {
                        const double interval_s = WaitForRTTimerLV(token);
                        const auto interval =
                            static_cast<int64_t>(interval_s * static_cast<double>(counter_frequency()) + 0.5);
                        reading += interval;
                        return PacedTick{reading, interval - period};
                    });
            }};
}

std::vector<Method> pacing_methods(const std::vector<long>& rates)
{
    std::vector<Method> all;
    for (const long rate : rates) {
        all.push_back(varnex_polling(rate));
        all.push_back(pacer_method(rate, VARNEX_MODE_SPIN, "pacer_spin", "varnex pacer spin"));
        all.push_back(pacer_spin_reported(rate));
        all.push_back(pacer_method(rate, VARNEX_MODE_SLEEP, "pacer_sleep", "varnex pacer sleep"));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "pacer_hybrid", "varnex pacer hybrid"));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "hybrid_fixed_125us", "varnex hybrid fixed at 125 us",
                                   125000));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "oracle_hybrid", "oracle hybrid", -1));
        // Lateness budgets, each beside its oracle.
        for (const std::string budget_us : {"10", "50", "200"}) {
            const int64_t budget_ns = std::stoll(budget_us) * 1000;
            all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, ("budget_" + budget_us + "us").c_str(),
                                       ("varnex hybrid with a budget of " + budget_us + " us").c_str(), 0,
                                       {sizeof(varnex_pacer_controls), 0, 0, 0, 0}, false, budget_ns));
            all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, ("oracle_budget_" + budget_us + "us").c_str(),
                                       ("oracle for a budget of " + budget_us + " us").c_str(), -1,
                                       {sizeof(varnex_pacer_controls), 0, 0, 0, 0}, false, budget_ns));
        }
#if !defined(_WIN32)
        // The scheduling controls that this machine can show (the benchmark
        // runs as root): real time for the sleep, and the waits kept on CPU 1.
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "hybrid_sched_fifo", "varnex hybrid with SCHED_FIFO", 0,
                                   {sizeof(varnex_pacer_controls), VARNEX_CONTROL_REALTIME, 0, 50, 0}));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "hybrid_pinned", "varnex hybrid pinned to CPU 1", 0,
                                   {sizeof(varnex_pacer_controls), VARNEX_CONTROL_AFFINITY, 0x2, 0, 0}));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "pacer_epoll", "varnex hybrid on its handle in epoll",
                                   0, {sizeof(varnex_pacer_controls), 0, 0, 0, 0}, true));
#endif
        all.push_back(bare_absolute_spin(rate));
        all.push_back(called_absolute_spin(rate));
#if defined(_WIN32)
        if (high_resolution_timer() != nullptr) {
            all.push_back(absolute_sleeper("waitable_timer", "high-resolution waitable timer", rate,
                                           [](int64_t deadline) {
                const int64_t remaining = deadline - read_counter();
                if (remaining > 0) {
                    LARGE_INTEGER due;
                    // Relative, in 100 ns units: negative.
                    due.QuadPart = -(remaining * 10000000 / counter_frequency());
                    SetWaitableTimer(high_resolution_timer(), &due, 0, nullptr, nullptr, FALSE);
                    WaitForSingleObject(high_resolution_timer(), INFINITE);
                }
            }));
        }
#else
        all.push_back(absolute_sleeper("clock_nanosleep", "clock_nanosleep absolute", rate, [](int64_t deadline) {
            const timespec until{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }));
#endif
    }
    return all;
}
