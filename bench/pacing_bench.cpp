// Varnex against other ways to pace a loop, measured in one run with the
// methods taking turns, so that a ratio between them holds on a noisy machine.
//
// Pacers (per-period error): a tick paced from the previous one is late by
// its interval minus the nominal period; a tick on an absolute schedule by its
// wake-up minus its deadline. Hand-offs (wake-up lag): from the moment the
// ticking thread signals to the moment the waiter runs again.
//
// Writes one CSV row per sample to the file named on the command line:
// platform,method,rate,kind,value_ns, where kind is error, lag, drift (one
// row per round: how far the last tenth of the ticks moved from the ideal
// schedule of the first), long drift (the same over one long run) or cpu (CPU
// seconds per second, one row per round).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
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
constexpr const char* kPlatform = "windows i686 (wine under qemu)";
#elif defined(_WIN32)
constexpr const char* kPlatform = "windows (wine64)";
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

struct Round {
    std::vector<double> values_ns;  // errors or lags
    double drift_ns = 0;
    double cpu_per_second = 0;
};

// Runs `ticks` ticks of a pacer. `tick` returns the reading (in counts) that
// ended the tick and the error of that tick in counts.
struct PacedTick {
    int64_t reading;
    int64_t error_counts;
    // The tick's place on its schedule, where a pacer skipped ticks; -1 for
    // one tick per call.
    int64_t index = -1;
};

double median_of(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

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
    round.drift_ns = median_of({offsets_ns.end() - window, offsets_ns.end()}) -
                     median_of({offsets_ns.begin(), offsets_ns.begin() + window});
    return round;
}

struct Method {
    std::string name;
    long rate;
    std::function<Round(long ticks)> run;
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

// The floor: the same spin written inline, no library call.
Method bare_spin(long rate, const char* name)
{
    return {name, rate, [rate](long ticks) {
                const int64_t period = counter_frequency() / rate;
                const int64_t threshold = period - 1;
                int64_t reference = 0;
                return run_pacer(
                    ticks, period, [&] { reference = read_counter(); },
                    [&] {
                        int64_t reading;
                        do {
                            reading = read_counter();
                        } while (reading - reference < threshold);
                        const int64_t interval = reading - reference;
                        reference = reading;
                        return PacedTick{reading, interval - period};
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

// The pacer as a host sees it: lateness is a reading taken right after the
// wait returns, against the tick's deadline on the pacer's grid.
Method pacer_method(long rate, uint32_t mode, const char* name)
{
    return {name, rate, [rate, mode](long ticks) {
                varnex_pacer* pacer = nullptr;
                varnex_tick tick{};
                tick.size = sizeof tick;
                return run_pacer(
                    ticks, counter_frequency() / rate,
                    [&] {
                        varnex_pacer_config config;
                        varnex_pacer_config_init(&config);
                        config.rate_num = static_cast<uint32_t>(rate);
                        config.rate_den = 1;
                        config.mode = mode;
                        varnex_pacer_create(&config, &pacer);
                        varnex_pacer_wait(pacer, &tick);
                    },
                    [&] {
                        varnex_pacer_wait(pacer, &tick);
                        const int64_t reading = read_counter();
                        const auto lateness_counts = static_cast<int64_t>(
                            tick.lateness_s * static_cast<double>(counter_frequency()) + 0.5);
                        return PacedTick{reading, reading - (last_library_reading - lateness_counts),
                                         static_cast<int64_t>(tick.index)};
                    });
            }};
}

// The floor under the pacer: the same absolute schedule spun inline, with the
// host's reading taken after the spin, as it is after the pacer's wait.
Method bare_absolute_spin(long rate, const char* name)
{
    return {name, rate, [rate](long ticks) {
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
Method called_absolute_spin(long rate, const char* name)
{
    return {name, rate, [rate](long ticks) {
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
            }};
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
            }};
}

std::vector<Method> methods()
{
    std::vector<Method> all;
#if defined(_WIN32)
    const long rates[] = {1000};
#else
    const long rates[] = {1000, 10000};
#endif
    for (const long rate : rates) {
        all.push_back(varnex_polling(rate));
        all.push_back(pacer_method(rate, VARNEX_MODE_SPIN, "varnex pacer spin"));
        all.push_back(pacer_method(rate, VARNEX_MODE_SLEEP, "varnex pacer sleep"));
        all.push_back(bare_absolute_spin(rate, "bare spin to absolute deadlines"));
        all.push_back(called_absolute_spin(rate, "the same spin behind a function call"));
#if defined(_WIN32)
        all.push_back(bare_spin(rate, "bare QueryPerformanceCounter spin"));
        static HANDLE waitable_timer = CreateWaitableTimerExW(
            nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        if (waitable_timer == nullptr) {
            std::fprintf(stderr, "no high-resolution waitable timer here (error %lu): left out\n", GetLastError());
        } else {
            all.push_back(absolute_sleeper("high-resolution waitable timer", rate, [](int64_t deadline) {
            HANDLE timer = waitable_timer;
            const int64_t remaining = deadline - read_counter();
            if (remaining > 0) {
                LARGE_INTEGER due;
                // Relative, in 100 ns units: negative.
                due.QuadPart = -(remaining * 10000000 / counter_frequency());
                SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE);
                WaitForSingleObject(timer, INFINITE);
            }
        }));
        }
        all.push_back(absolute_sleeper("Sleep(1) under timeBeginPeriod(1)", rate, [](int64_t deadline) {
            while (read_counter() < deadline) {
                Sleep(1);
            }
        }));
#else
        all.push_back(bare_spin(rate, "bare clock_gettime spin"));
        all.push_back(absolute_sleeper("clock_nanosleep absolute", rate, [](int64_t deadline) {
            const timespec until{static_cast<time_t>(deadline / 1000000000), static_cast<long>(deadline % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        }));
        all.push_back(absolute_sleeper("std::this_thread::sleep_until", rate, [](int64_t deadline) {
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline)));
        }));
#endif
    }
    all.push_back(varnex_threaded_lag(1000));
    all.push_back(bare_hand_off(1000));
    return all;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.csv [ROUNDS [SECONDS_PER_ROUND [DRIFT_SECONDS]]]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 4;
    const double seconds_per_round = argc > 3 ? std::atof(argv[3]) : 1.0;
#if defined(_WIN32)
    // For the Sleep(1) method; the others do not depend on it.
    using TimePeriodFn = unsigned int(WINAPI*)(unsigned int);
    if (HMODULE winmm = LoadLibraryA("winmm.dll")) {
        if (auto begin_period = reinterpret_cast<TimePeriodFn>(reinterpret_cast<void*>(GetProcAddress(winmm, "timeBeginPeriod")))) {
            begin_period(1);
        }
    }
#endif
    std::FILE* output = std::fopen(argv[1], "w");
    if (output == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    std::fprintf(output, "platform,method,rate,kind,value_ns\n");
    const std::vector<Method> all = methods();
    for (int round = 1; round <= rounds; ++round) {
        std::fprintf(output, "%s,one counter read,0,read,%.1f\n", kPlatform, counter_read_ns());
        for (const Method& method : all) {
            const long ticks = static_cast<long>(seconds_per_round * static_cast<double>(method.rate));
            const Round result = method.run(ticks);
            const bool lag = method.name.find("wake-up") != std::string::npos || method.name == "bare hand-off";
            for (const double value : result.values_ns) {
                std::fprintf(output, "%s,%s,%ld,%s,%.1f\n", kPlatform, method.name.c_str(), method.rate,
                             lag ? "lag" : "error", value);
            }
            if (!lag) {
                std::fprintf(output, "%s,%s,%ld,drift,%.1f\n", kPlatform, method.name.c_str(), method.rate, result.drift_ns);
            }
            std::fprintf(output, "%s,%s,%ld,cpu,%.4f\n", kPlatform, method.name.c_str(), method.rate, result.cpu_per_second);
            std::fprintf(stderr, "round %d/%d: %s at %ld/s\n", round, rounds, method.name.c_str(), method.rate);
        }
    }
    // Drift over a long run: the pacer's grid against the polling timer's
    // tick-after-tick periods.
    const double drift_seconds = argc > 4 ? std::atof(argv[4]) : 0.0;
    if (drift_seconds > 0) {
        for (const Method& method : {pacer_method(1000, VARNEX_MODE_SPIN, "varnex pacer spin"), varnex_polling(1000)}) {
            const Round result = method.run(static_cast<long>(drift_seconds * 1000));
            std::fprintf(output, "%s,%s,%ld,long drift,%.1f\n", kPlatform, method.name.c_str(), method.rate,
                         result.drift_ns);
            std::fprintf(stderr, "%.0f s: %s drifted %.1f ns\n", drift_seconds, method.name.c_str(), result.drift_ns);
        }
    }
    std::fclose(output);
    return 0;
}
