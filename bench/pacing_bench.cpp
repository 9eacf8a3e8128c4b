// How precisely, and at what CPU, each way of pacing a loop keeps its
// deadlines on this machine: Varnex's timer and pacer in each mode against
// bare spins and the operating system's own sleeps. The methods take turns in
// rounds, so that a noisy minute falls on all of them, and the ratios between
// them hold on a noisy machine.
//
// Lateness: a tick paced from the previous one is late by its interval minus
// the nominal period; a tick on an absolute schedule by the host's reading
// right after the wait, minus its deadline. Hand-offs (wake-up lag): from the
// moment the ticking thread signals to the moment the waiter runs again.
//
// Prints what it found about the machine, then a table, and writes one CSV
// row per sample: platform,method,rate,kind,value_ns, where kind is error,
// lag, drift (one row per round), long drift (over one long run), cpu (CPU
// seconds per second, one row per round), read or margin.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "called_spin.h"
#include "process_cpu.h"
#include "varnex.h"
#include "varnex/pacer.h"

#if defined(_WIN32)
#  include <windows.h>
#  ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#    define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#  endif
#else
#  include <linux/futex.h>
#  include <sys/syscall.h>
#  include <time.h>
#  include <unistd.h>
#endif

namespace {

#if defined(_WIN32) && defined(__i386__)
constexpr const char* kPlatform = "windows i686";
#elif defined(_WIN32)
constexpr const char* kPlatform = "windows x64";
#endif

#if defined(_WIN32)

int64_t counter_frequency()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return frequency;
}

inline int64_t read_counter()
{
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

#else
constexpr const char* kPlatform = "linux";

int64_t counter_frequency()
{
    return 1000000000;
}

inline int64_t read_counter()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

#endif

double counts_to_ns(int64_t counts)
{
    return static_cast<double>(counts) * 1e9 / static_cast<double>(counter_frequency());
}

}  // namespace

// Set by the library's worker just before it signals the tick event: the
// benchmark links the library's code with `--wrap` on that one platform call,
// so that the wake-up lag is measured from the signal itself.
std::atomic<int64_t> last_signal_reading{0};

extern "C" void __real__ZN8platform9set_eventEPv(void* event);

extern "C" void __wrap__ZN8platform9set_eventEPv(void* event)
{
    last_signal_reading.store(read_counter());
    __real__ZN8platform9set_eventEPv(event);
}

// The last counter reading the library took on this thread: the reading that
// ended a pacer's wait, so that the benchmark finds the tick's deadline
// (`--wrap` on platform::read_counter).
thread_local int64_t last_library_reading = 0;

extern "C" int64_t __real__ZN8platform12read_counterEv();

extern "C" int64_t __wrap__ZN8platform12read_counterEv()
{
    last_library_reading = __real__ZN8platform12read_counterEv();
    return last_library_reading;
}

namespace {

// What one counter read costs: the floor under every spin's error.
double counter_read_ns()
{
    constexpr int kReads = 100000;
    const int64_t first = read_counter();
    int64_t last = first;
    for (int read = 0; read < kReads; ++read) {
        last = read_counter();
    }
    return counts_to_ns(last - first) / kReads;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5))];
}

struct Round {
    std::vector<double> values_ns;  // lateness or lags
    double drift_ns = NAN;
    double cpu_per_second = 0;
};

struct PacedTick {
    int64_t reading;  // the reading that ended the tick, in counts
    int64_t error_counts;
    // The tick's place on its schedule, where a pacer skipped ticks; -1 for
    // one tick per call.
    int64_t index = -1;
};

// Runs `ticks` ticks; `tick` waits for one.
Round run_pacer(long ticks, int64_t period_counts, const std::function<void()>& start,
                const std::function<PacedTick()>& tick)
{
    Round round;
    round.values_ns.reserve(static_cast<size_t>(ticks));
    start();
    const double cpu_start_s = process_cpu_seconds();
    int64_t first = 0;
    int64_t last = 0;
    // Each tick's reading against the ideal schedule from the first one.
    std::vector<double> offsets_ns;
    offsets_ns.reserve(static_cast<size_t>(ticks));
    int64_t first_index = 0;
    for (long index = 0; index < ticks; ++index) {
        const PacedTick paced = tick();
        const int64_t place = paced.index >= 0 ? paced.index : index;
        if (index == 0) {
            first = paced.reading;
            first_index = place;
        }
        last = paced.reading;
        round.values_ns.push_back(counts_to_ns(paced.error_counts));
        offsets_ns.push_back(counts_to_ns(paced.reading - first - (place - first_index) * period_counts));
    }
    const double wall_s = counts_to_ns(last - first) * 1e-9;
    round.cpu_per_second = wall_s > 0 ? (process_cpu_seconds() - cpu_start_s) / wall_s : 0;
    // The median offset of the last tenth of the run (at most 1,000 ticks)
    // against that of the first: one late tick at either end does not count.
    const auto window = static_cast<long>(std::max<size_t>(1, std::min<size_t>(1000, offsets_ns.size() / 10)));
    round.drift_ns = percentile({offsets_ns.end() - window, offsets_ns.end()}, 0.5) -
                     percentile({offsets_ns.begin(), offsets_ns.begin() + window}, 0.5);
    return round;
}

struct Method {
    std::string name;
    long rate;
    std::function<Round(long ticks)> run;
    bool lag = false;
};

// The polling timer, as a host calls it: the interval it returns is the
// tick's measure.
Method varnex_polling(long rate)
{
    return {"varnex polling", rate, [rate](long ticks) {
                const int64_t period = counter_frequency() / rate;
                unsigned int token = 0;
                int64_t reading = 0;
                return run_pacer(
                    ticks, period, [&] { token = OpenRTTimerLV(rate, 0); WaitForRTTimerLV(token); },
                    [&] {
                        const double interval_s = WaitForRTTimerLV(token);
                        const auto interval = static_cast<int64_t>(interval_s * static_cast<double>(counter_frequency()) + 0.5);
                        reading += interval;
                        return PacedTick{reading, interval - period};
                    });
            }};
}

// The floor: a spin to absolute deadlines written inline in the host, with
// the host's reading taken after the spin, as it is after the pacer's wait.
Method bare_absolute_spin(long rate)
{
    return {"bare spin", rate, [rate](long ticks) {
                const int64_t period = counter_frequency() / rate;
                int64_t deadline = 0;
                return run_pacer(
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
    return {"bare spin behind a function call", rate, [rate](long ticks) {
                const int64_t period = counter_frequency() / rate;
                int64_t deadline = 0;
                return run_pacer(
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
Method absolute_sleeper(const char* name, long rate, std::function<void(int64_t)> sleep_until)
{
    return {name, rate, [rate, sleep_until](long ticks) {
                const int64_t period = counter_frequency() / rate;
                int64_t deadline = 0;
                return run_pacer(
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

varnex_pacer* create_pacer(long rate, uint32_t mode, double margin_ns, int64_t phase_ns = -1)
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

// One tick of a pacer as a host sees it: lateness is a reading taken right
// after the wait returns, against the tick's deadline on the pacer's grid.
PacedTick pacer_tick(varnex_pacer* pacer)
{
    varnex_tick tick{};
    tick.size = sizeof tick;
    varnex_pacer_wait(pacer, &tick);
    const int64_t reading = read_counter();
    const auto lateness_counts =
        static_cast<int64_t>(tick.lateness_s * static_cast<double>(counter_frequency()) + 0.5);
    return PacedTick{reading, reading - (last_library_reading - lateness_counts), static_cast<int64_t>(tick.index)};
}

// `margin_ns`: a fixed hybrid margin; 0 learns it; negative takes the
// oracle's, the p99.5 of this rate's sleep-mode lateness so far.
Method pacer_method(long rate, uint32_t mode, const char* name, double margin_ns = 0,
                    varnex_pacer_controls controls = {sizeof(varnex_pacer_controls), 0, 0, 0, 0})
{
    return {name, rate, [rate, mode, margin_ns, controls, name](long ticks) {
                varnex_pacer* pacer = nullptr;
                Round round = run_pacer(
                    ticks, counter_frequency() / rate,
                    [&] {
                        const double margin = margin_ns < 0 ? percentile(sleep_lateness_ns[rate], 0.995) : margin_ns;
                        pacer = create_pacer(rate, mode, margin);
                        if (controls.flags != 0 && varnex_pacer_set_controls(pacer, &controls) != VARNEX_OK) {
                            std::fprintf(stderr, "varnex_pacing_bench: %s: controls refused\n", name);
                            std::exit(1);
                        }
                        pacer_tick(pacer);
                    },
                    [&] { return pacer_tick(pacer); });
                varnex_pacer_destroy(pacer);
                if (mode == VARNEX_MODE_SLEEP) {
                    std::vector<double>& all = sleep_lateness_ns[rate];
                    all.insert(all.end(), round.values_ns.begin(), round.values_ns.end());
                }
                return round;
            }};
}

// The threaded timer: the lag from the worker's signal to the waiter's return.
Method varnex_threaded_lag(long rate)
{
    return {"varnex threaded wake-up", rate, [rate](long ticks) {
                Round round;
                void* timer = OpenRTTimer(rate, 2);
                WaitForRTTimer(timer);
                const double cpu_start_s = process_cpu_seconds();
                const int64_t start = read_counter();
                for (long index = 0; index < ticks; ++index) {
                    WaitForRTTimer(timer);
                    round.values_ns.push_back(counts_to_ns(read_counter() - last_signal_reading.load()));
                }
                round.cpu_per_second = (process_cpu_seconds() - cpu_start_s) / (counts_to_ns(read_counter() - start) * 1e-9);
                CloseRTTimer(timer);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return round;
            }, true};
}

// The same hand-off, bare: a spinning thread signals the operating system's
// primitive that the library's event uses, another thread waits on it.
#if defined(_WIN32)
struct BareEvent {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ~BareEvent() { CloseHandle(event); }
    void signal() { SetEvent(event); }
    void wait() { WaitForSingleObject(event, INFINITE); }
};
#else
struct BareEvent {
    std::atomic<uint32_t> word{0};
    void signal()
    {
        word.store(1);
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
    }
    void wait()
    {
        uint32_t signalled = 1;
        while (!word.compare_exchange_strong(signalled, 0)) {
            signalled = 1;
            syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT, 0, nullptr, nullptr, 0);
        }
    }
};
#endif

Method bare_hand_off(long rate)
{
    return {"bare hand-off", rate, [rate](long ticks) {
                Round round;
                BareEvent event;
                std::atomic<int64_t> signal_reading{0};
                std::atomic<bool> stop{false};
                const int64_t threshold = counter_frequency() / rate - 1;
                std::thread ticker([&] {
                    int64_t reference = read_counter();
                    while (!stop.load()) {
                        int64_t reading;
                        do {
                            reading = read_counter();
                        } while (reading - reference < threshold);
                        reference = reading;
                        signal_reading.store(read_counter());
                        event.signal();
                    }
                });
                event.wait();
                const double cpu_start_s = process_cpu_seconds();
                const int64_t start = read_counter();
                for (long index = 0; index < ticks; ++index) {
                    event.wait();
                    round.values_ns.push_back(counts_to_ns(read_counter() - signal_reading.load()));
                }
                round.cpu_per_second = (process_cpu_seconds() - cpu_start_s) / (counts_to_ns(read_counter() - start) * 1e-9);
                stop.store(true);
                ticker.join();
                return round;
            }, true};
}

#if defined(_WIN32)
HANDLE high_resolution_timer()
{
    static HANDLE timer =
        CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    return timer;
}
#endif

std::vector<Method> methods(const std::vector<long>& rates)
{
    std::vector<Method> all;
    for (const long rate : rates) {
        all.push_back(varnex_polling(rate));
        all.push_back(pacer_method(rate, VARNEX_MODE_SPIN, "varnex pacer spin"));
        all.push_back(pacer_method(rate, VARNEX_MODE_SLEEP, "varnex pacer sleep"));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "varnex pacer hybrid"));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "varnex hybrid fixed at 125 us", 125000));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "oracle hybrid", -1));
#if !defined(_WIN32)
        // The scheduling controls that this machine can show (the benchmark
        // runs as root): real time for the sleep, and the waits kept on CPU 1.
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "varnex hybrid with SCHED_FIFO", 0,
                                   {sizeof(varnex_pacer_controls), VARNEX_CONTROL_REALTIME, 0, 50, 0}));
        all.push_back(pacer_method(rate, VARNEX_MODE_HYBRID, "varnex hybrid pinned to CPU 1", 0,
                                   {sizeof(varnex_pacer_controls), VARNEX_CONTROL_AFFINITY, 0x2, 0, 0}));
#endif
        all.push_back(bare_absolute_spin(rate));
        all.push_back(called_absolute_spin(rate));
#if defined(_WIN32)
        if (high_resolution_timer() != nullptr) {
            all.push_back(absolute_sleeper("high-resolution waitable timer", rate, [](int64_t deadline) {
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
        all.push_back(absolute_sleeper("clock_nanosleep absolute", rate, [](int64_t deadline) {
            const timespec until{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }));
#endif
    }
    all.push_back(varnex_threaded_lag(1000));
    all.push_back(bare_hand_off(1000));
    return all;
}

struct Row {
    std::string method;
    long rate;
    bool lag;
    std::vector<double> values_ns;
    std::vector<double> cpu;
};

std::string format_ns(double value)
{
    char text[32];
    const double magnitude = std::fabs(value);
    if (std::isnan(value)) {
        return "-";
    }
    if (magnitude >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f ms", value / 1e6);
    } else if (magnitude >= 1e3) {
        std::snprintf(text, sizeof text, "%.1f us", value / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f ns", value);
    }
    return text;
}

void print_row(const char* method, long rate, std::vector<double> values_ns, double cpu)
{
    for (double& value : values_ns) {
        value = std::fabs(value);
    }
    std::printf("%-34s %6ld %10s %10s %10s %10s %8.3f\n", method, rate, format_ns(percentile(values_ns, 0.5)).c_str(),
                format_ns(percentile(values_ns, 0.99)).c_str(), format_ns(percentile(values_ns, 0.999)).c_str(),
                format_ns(percentile(values_ns, 1.0)).c_str(), cpu);
}

// What this machine offers a pacer, before the methods run: the counter, the
// sleep, how late the sleep wakes, and the margin a hybrid learns from it.
void describe_machine(std::FILE* csv)
{
    const double read_ns = counter_read_ns();
    std::printf("%s: counter at %lld counts per second, one read %.1f ns\n", kPlatform,
                static_cast<long long>(counter_frequency()), read_ns);
    std::fprintf(csv, "%s,one counter read,0,read,%.1f\n", kPlatform, read_ns);
#if defined(_WIN32)
    std::printf("high-resolution waitable timer: %s\n",
                high_resolution_timer() != nullptr ? "yes" : "no (the pacer sleeps on a plain one)");
#else
    std::printf("absolute sleep: clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME)\n");
#endif
    varnex_pacer* sleeper = create_pacer(1000, VARNEX_MODE_SLEEP, 0);
    std::vector<double> oversleep_ns;
    for (int tick = 0; tick < 500; ++tick) {
        oversleep_ns.push_back(counts_to_ns(pacer_tick(sleeper).error_counts));
    }
    varnex_pacer_destroy(sleeper);
    std::printf("oversleep of an absolute sleep at 1,000 per second: p50 %s, p99 %s, p99.5 %s, max %s\n",
                format_ns(percentile(oversleep_ns, 0.5)).c_str(), format_ns(percentile(oversleep_ns, 0.99)).c_str(),
                format_ns(percentile(oversleep_ns, 0.995)).c_str(), format_ns(percentile(oversleep_ns, 1.0)).c_str());
    varnex_pacer* hybrid = create_pacer(1000, VARNEX_MODE_HYBRID, 0);
    for (int tick = 0; tick < 1000; ++tick) {
        varnex_pacer_wait(hybrid, nullptr);
    }
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    varnex_pacer_get_stats(hybrid, &stats);
    varnex_pacer_destroy(hybrid);
    std::printf("hybrid margin learned over one second at 1,000 per second: %s\n\n",
                format_ns(static_cast<double>(stats.margin_ns)).c_str());
    std::fprintf(csv, "%s,hybrid margin learned,1000,margin,%lld\n", kPlatform, static_cast<long long>(stats.margin_ns));
}

// Pacers in threads of their own, each at `rate` in hybrid mode, their phases
// spread evenly over the period.
void run_many_pacers(std::FILE* csv, int pacers, long rate, long ticks)
{
    std::vector<std::vector<double>> lateness_ns(static_cast<size_t>(pacers));
    const double cpu_start_s = process_cpu_seconds();
    const int64_t start = read_counter();
    std::vector<std::thread> threads;
    for (int pacer_index = 0; pacer_index < pacers; ++pacer_index) {
        threads.emplace_back([&, pacer_index] {
            const int64_t period_ns = 1000000000 / rate;
            varnex_pacer* pacer =
                create_pacer(rate, VARNEX_MODE_HYBRID, 0, period_ns + period_ns * pacer_index / pacers);
            std::vector<double>& mine = lateness_ns[static_cast<size_t>(pacer_index)];
            for (long tick = 0; tick < ticks; ++tick) {
                mine.push_back(counts_to_ns(pacer_tick(pacer).error_counts));
            }
            varnex_pacer_destroy(pacer);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double cpu = (process_cpu_seconds() - cpu_start_s) / (counts_to_ns(read_counter() - start) * 1e-9);
    const std::string group = std::to_string(pacers) + " hybrid pacers";
    for (int pacer_index = 0; pacer_index < pacers; ++pacer_index) {
        const std::string name = group + ": pacer " + std::to_string(pacer_index + 1);
        for (const double value : lateness_ns[static_cast<size_t>(pacer_index)]) {
            std::fprintf(csv, "%s,%s,%ld,error,%.1f\n", kPlatform, name.c_str(), rate, value);
        }
        print_row(name.c_str(), rate, lateness_ns[static_cast<size_t>(pacer_index)], NAN);
    }
    std::fprintf(csv, "%s,%s,%ld,cpu,%.4f\n", kPlatform, group.c_str(), rate, cpu);
    std::printf("%-34s %6ld %43s %8.3f\n", (group + ": all").c_str(), rate, "", cpu);
}

const char kUsage[] =
    "usage: varnex_pacing_bench [options]\n"
    "  --csv FILE           write every sample to FILE (default varnex_bench.csv)\n"
    "  --rates R[,R...]     ticks per second of the rows (default 100,1000)\n"
    "  --ticks N            ticks per row, over all rounds (default 3000)\n"
    "  --rounds N           rounds the methods take turns in (default 4)\n"
    "  --pacers N           also run N hybrid pacers at 100 per second at once (default 0)\n"
    "  --drift-seconds S    also run the pacer and the polling timer S seconds each, for drift\n";

}  // namespace

int main(int argc, char** argv)
{
    std::string csv_path = "varnex_bench.csv";
    std::vector<long> rates = {100, 1000};
    long ticks_per_row = 3000;
    int rounds = 4;
    int pacers = 0;
    double drift_seconds = 0.0;
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (option == "--help" || index + 1 >= argc) {
            std::fputs(kUsage, option == "--help" ? stdout : stderr);
            return option == "--help" ? 0 : 2;
        }
        const char* value = argv[++index];
        if (option == "--csv") {
            csv_path = value;
        } else if (option == "--rates") {
            rates.clear();
            for (const char* part = value; *part != '\0';) {
                char* end = nullptr;
                rates.push_back(std::strtol(part, &end, 10));
                part = *end == ',' ? end + 1 : end;
                if (rates.back() <= 0 || (*end != ',' && *end != '\0')) {
                    std::fputs(kUsage, stderr);
                    return 2;
                }
            }
        } else if (option == "--ticks") {
            ticks_per_row = std::atol(value);
        } else if (option == "--rounds") {
            rounds = std::atoi(value);
        } else if (option == "--pacers") {
            pacers = std::atoi(value);
        } else if (option == "--drift-seconds") {
            drift_seconds = std::atof(value);
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (ticks_per_row <= 0 || rounds <= 0 || pacers < 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::FILE* csv = std::fopen(csv_path.c_str(), "w");
    if (csv == nullptr) {
        std::fprintf(stderr, "varnex_pacing_bench: cannot write %s\n", csv_path.c_str());
        return 1;
    }
    std::fprintf(csv, "platform,method,rate,kind,value_ns\n");
    describe_machine(csv);

    const std::vector<Method> all = methods(rates);
    std::vector<Row> rows;
    for (const Method& method : all) {
        rows.push_back({method.name, method.rate, method.lag, {}, {}});
    }
    const long ticks_per_round = (ticks_per_row + rounds - 1) / rounds;
    for (int round = 1; round <= rounds; ++round) {
        for (size_t index = 0; index < all.size(); ++index) {
            const Method& method = all[index];
            const Round result = method.run(ticks_per_round);
            Row& row = rows[index];
            row.values_ns.insert(row.values_ns.end(), result.values_ns.begin(), result.values_ns.end());
            row.cpu.push_back(result.cpu_per_second);
            for (const double value : result.values_ns) {
                std::fprintf(csv, "%s,%s,%ld,%s,%.1f\n", kPlatform, method.name.c_str(), method.rate,
                             method.lag ? "lag" : "error", value);
            }
            if (!method.lag) {
                std::fprintf(csv, "%s,%s,%ld,drift,%.1f\n", kPlatform, method.name.c_str(), method.rate,
                             result.drift_ns);
            }
            std::fprintf(csv, "%s,%s,%ld,cpu,%.4f\n", kPlatform, method.name.c_str(), method.rate,
                         result.cpu_per_second);
            std::fflush(csv);
            std::fprintf(stderr, "round %d/%d: %s at %ld/s\n", round, rounds, method.name.c_str(), method.rate);
        }
    }
    std::printf("|lateness| (lag for the hand-offs), %ld ticks a row over %d rounds:\n", ticks_per_round * rounds,
                rounds);
    std::printf("%-34s %6s %10s %10s %10s %10s %8s\n", "method", "rate", "p50", "p99", "p99.9", "max", "CPU/s");
    for (const Row& row : rows) {
        print_row(row.method.c_str(), row.rate, row.values_ns, percentile(row.cpu, 0.5));
    }
    if (pacers > 0) {
        run_many_pacers(csv, pacers, 100, ticks_per_row);
    }
    // Drift over a long run: the pacer's grid against the polling timer's
    // tick-after-tick periods.
    if (drift_seconds > 0) {
        for (const Method& method : {pacer_method(1000, VARNEX_MODE_SPIN, "varnex pacer spin"), varnex_polling(1000)}) {
            const Round result = method.run(static_cast<long>(drift_seconds * 1000));
            std::fprintf(csv, "%s,%s,%ld,long drift,%.1f\n", kPlatform, method.name.c_str(), method.rate,
                         result.drift_ns);
            std::printf("%.0f s at 1,000 per second: %s drifted %s\n", drift_seconds, method.name.c_str(),
                        format_ns(result.drift_ns).c_str());
        }
    }
    std::fclose(csv);
    std::printf("samples: %s\n", csv_path.c_str());
    return 0;
}
