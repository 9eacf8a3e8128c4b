// The demo host: paces itself with Varnex and shows how well it was paced.
// On Windows it loads Varnex.dll and binds every function by its decorated
// name, as hosts of the DLL do.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "process_cpu.h"

#include "varnex/pacer.h"

#if defined(_WIN32)
#  include <io.h>
#  include <windows.h>

#  include "varnex_exports.h"
#else
#  include <unistd.h>

#  include "varnex.h"
#endif

namespace {

struct VarnexApi {
    void* (*OpenRTTimer)(long, int) = nullptr;
    double (*WaitForRTTimer)(void*) = nullptr;
    short (*CloseRTTimer)(void*) = nullptr;
    unsigned int (*OpenRTTimerLV)(long, int) = nullptr;
    double (*WaitForRTTimerLV)(unsigned int) = nullptr;
    decltype(&varnex_pacer_config_init) pacer_config_init = nullptr;
    decltype(&varnex_pacer_create) pacer_create = nullptr;
    decltype(&varnex_pacer_wait) pacer_wait = nullptr;
    decltype(&varnex_pacer_get_stats) pacer_get_stats = nullptr;
    decltype(&varnex_pacer_destroy) pacer_destroy = nullptr;
    decltype(&varnex_strerror) strerror = nullptr;
    decltype(&varnex_pacer_set_controls) pacer_set_controls = nullptr;
};

#if defined(_WIN32)
template <typename Function>
bool bind(HMODULE module, const char* decorated_name, Function& target)
{
    target = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, decorated_name)));
    return target != nullptr;
}

bool load_api(VarnexApi& api)
{
    HMODULE module = LoadLibraryA("Varnex.dll");
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load Varnex.dll (error %lu)\n", GetLastError());
        return false;
    }
    return bind(module, VARNEX_EXPORT_NAME(OpenRTTimer), api.OpenRTTimer) &&
           bind(module, VARNEX_EXPORT_NAME(WaitForRTTimer), api.WaitForRTTimer) &&
           bind(module, VARNEX_EXPORT_NAME(CloseRTTimer), api.CloseRTTimer) &&
           bind(module, VARNEX_EXPORT_NAME(OpenRTTimerLV), api.OpenRTTimerLV) &&
           bind(module, VARNEX_EXPORT_NAME(WaitForRTTimerLV), api.WaitForRTTimerLV) &&
           bind(module, VARNEX_EXPORT_NAME(varnex_pacer_config_init), api.pacer_config_init) &&
           bind(module, VARNEX_EXPORT_NAME(varnex_pacer_create), api.pacer_create) &&
           bind(module, VARNEX_EXPORT_NAME(varnex_pacer_wait), api.pacer_wait) &&
           bind(module, VARNEX_EXPORT_NAME(varnex_pacer_get_stats), api.pacer_get_stats) &&
           bind(module, VARNEX_EXPORT_NAME(varnex_pacer_destroy), api.pacer_destroy) &&
           bind(module, VARNEX_EXPORT_NAME(varnex_strerror), api.strerror) &&
           bind(module, VARNEX_EXPORT_NAME(varnex_pacer_set_controls), api.pacer_set_controls);
}


bool stdout_is_terminal()
{
    return _isatty(_fileno(stdout)) != 0;
}
#else
bool load_api(VarnexApi& api)
{
    api = {OpenRTTimer,         WaitForRTTimer,    CloseRTTimer,           OpenRTTimerLV,
           WaitForRTTimerLV,    varnex_pacer_config_init, varnex_pacer_create, varnex_pacer_wait,
           varnex_pacer_get_stats, varnex_pacer_destroy, varnex_strerror, varnex_pacer_set_controls};
    return true;
}


bool stdout_is_terminal()
{
    return isatty(STDOUT_FILENO) != 0;
}
#endif

constexpr const char* kUsage =
    "usage: varnex_demo [options]\n"
    "Paces this program with Varnex and reports how well each period was kept.\n"
    "\n"
    "  --variant polling|threaded|pacer  which timer paces the loop (default polling)\n"
    "  --mode spin|sleep|hybrid    the pacer's wait (default hybrid)\n"
    "  --missed skip|burst|delay   the pacer's missed-tick policy (default skip)\n"
    "  the pacer's controls, each off unless given (see the README's tuning section):\n"
    "  --boost                     highest priority while spinning\n"
    "  --affinity MASK             run the waits on these CPUs (bit n: CPU n)\n"
    "  --realtime PRIORITY         Linux: SCHED_FIFO at 1..99 while sleeping (sleep or hybrid mode)\n"
    "  --lock-memory               keep the pacer's memory in RAM\n"
    "  --dma-latency US            Linux: hold /dev/cpu_dma_latency at US microseconds\n"
    "  --no-throttling             Windows: no power throttling while waiting\n"
    "  --mmcss                     Windows: the MMCSS \"Pro Audio\" class while waiting\n"
    "  --rate N                    ticks per second, 1 or more (default 1000)\n"
    "  --ticks N                   how many ticks to run (default 2000)\n"
    "  --seconds S                 run for S seconds instead of a number of ticks\n"
    "  --priority 0|1|2            priority index: highest, above normal, normal (default 0);\n"
    "                              the threaded timer's worker runs at it\n"
    "  --csv FILE                  write every measured interval to FILE as CSV\n"
    "  --help                      show this and exit\n";

enum class Variant { kPolling, kThreaded, kPacer };

struct Options {
    Variant variant = Variant::kPolling;
    uint32_t mode = VARNEX_MODE_HYBRID;
    uint32_t missed = VARNEX_MISSED_SKIP;
    varnex_pacer_controls controls{sizeof(varnex_pacer_controls), 0, 0, 0, 0};
    long rate = 1000;
    long ticks = 2000;
    double seconds = 0.0;
    int priority_index = 0;
    std::string csv_path;
};

bool parse_number(const char* text, double minimum, double maximum, double& value)
{
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= minimum && value <= maximum;
}

// The position of `value` among `names`, or -1.
int index_of(const char* value, std::initializer_list<const char*> names)
{
    int index = 0;
    for (const char* name : names) {
        if (std::strcmp(value, name) == 0) {
            return index;
        }
        ++index;
    }
    return -1;
}

// 0: run; 1: --help; 2: bad usage (message already printed).
int parse_options(int argc, char** argv, Options& options)
{
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        const std::pair<const char*, uint32_t> switches[] = {{"--boost", VARNEX_CONTROL_BOOST},
                                                             {"--lock-memory", VARNEX_CONTROL_LOCK_MEMORY},
                                                             {"--no-throttling", VARNEX_CONTROL_NO_THROTTLING},
                                                             {"--mmcss", VARNEX_CONTROL_MMCSS}};
        const auto control = std::find_if(std::begin(switches), std::end(switches),
                                          [&](const auto& entry) { return option == entry.first; });
        if (control != std::end(switches)) {
            options.controls.flags |= control->second;
            continue;
        }
        const char* known[] = {"--variant", "--rate",  "--ticks",    "--seconds",   "--priority", "--csv",
                               "--mode",    "--missed", "--affinity", "--realtime", "--dma-latency"};
        if (std::find(std::begin(known), std::end(known), option) == std::end(known)) {
            std::fprintf(stderr, "varnex_demo: unknown option %s (see --help)\n", option.c_str());
            return 2;
        }
        if (index + 1 >= argc) {
            std::fprintf(stderr, "varnex_demo: %s needs a value (see --help)\n", option.c_str());
            return 2;
        }
        const char* value = argv[++index];
        double number = 0.0;
        bool valid = true;
        if (option == "--variant") {
            const int variant = index_of(value, {"polling", "threaded", "pacer"});
            valid = variant >= 0;
            options.variant = static_cast<Variant>(variant);
        } else if (option == "--mode") {
            const int mode = index_of(value, {"spin", "sleep", "hybrid"});
            valid = mode >= 0;
            options.mode = static_cast<uint32_t>(mode);
        } else if (option == "--missed") {
            const int policy = index_of(value, {"skip", "burst", "delay"});
            valid = policy >= 0;
            options.missed = static_cast<uint32_t>(policy);
        } else if (option == "--affinity") {
            char* end = nullptr;
            options.controls.affinity_mask = std::strtoull(value, &end, 0);
            valid = *end == '\0' && options.controls.affinity_mask != 0;
            options.controls.flags |= VARNEX_CONTROL_AFFINITY;
        } else if (option == "--realtime") {
            valid = parse_number(value, 1, 99, number) && number == std::floor(number);
            options.controls.realtime_priority = static_cast<uint32_t>(number);
            options.controls.flags |= VARNEX_CONTROL_REALTIME;
        } else if (option == "--dma-latency") {
            valid = parse_number(value, 0, 1e6, number) && number == std::floor(number);
            options.controls.dma_latency_us = static_cast<uint32_t>(number);
            options.controls.flags |= VARNEX_CONTROL_DMA_LATENCY;
        } else if (option == "--rate") {
            valid = parse_number(value, 1, 1e9, number) && number == std::floor(number);
            options.rate = static_cast<long>(number);
        } else if (option == "--ticks") {
            valid = parse_number(value, 1, 1e8, number) && number == std::floor(number);
            options.ticks = static_cast<long>(number);
        } else if (option == "--seconds") {
            valid = parse_number(value, 1e-3, 86400, number);
            options.seconds = number;
        } else if (option == "--priority") {
            valid = parse_number(value, 0, 2, number) && number == std::floor(number);
            options.priority_index = static_cast<int>(number);
        } else {
            options.csv_path = value;
        }
        if (!valid) {
            std::fprintf(stderr, "varnex_demo: bad value for %s: %s (see --help)\n", option.c_str(), value);
            return 2;
        }
    }
    return 0;
}

double percentile(const std::vector<double>& sorted, double fraction)
{
    const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

std::string microseconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f us", seconds * 1e6);
    return text;
}

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

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    const int parsed = parse_options(argc, argv, options);
    if (parsed != 0) {
        return parsed == 1 ? 0 : 2;
    }
    VarnexApi api;
    if (!load_api(api)) {
        return 1;
    }

    using Clock = std::chrono::steady_clock;
    const double nominal_s = 1.0 / static_cast<double>(options.rate);
    const bool threaded = options.variant == Variant::kThreaded;
    void* timer = nullptr;
    unsigned int token = 0;
    varnex_pacer* pacer = nullptr;
    if (options.variant == Variant::kPacer) {
        varnex_pacer_config config;
        api.pacer_config_init(&config);
        config.rate_num = static_cast<uint32_t>(options.rate);
        config.rate_den = 1;
        config.mode = options.mode;
        config.missed = options.missed;
        int status = api.pacer_create(&config, &pacer);
        if (status != VARNEX_OK) {
            std::fprintf(stderr, "varnex_demo: the pacer was not created: %s\n", api.strerror(status));
            return 1;
        }
        if (options.controls.flags != 0 &&
            (status = api.pacer_set_controls(pacer, &options.controls)) != VARNEX_OK) {
            std::fprintf(stderr, "varnex_demo: the controls were not set: %s\n", api.strerror(status));
            return 1;
        }
    } else if (threaded) {
        timer = api.OpenRTTimer(options.rate, options.priority_index);
    } else {
        token = api.OpenRTTimerLV(options.rate, options.priority_index);
    }
    if (timer == nullptr && token == 0 && pacer == nullptr) {
        std::fprintf(stderr, "varnex_demo: the timer did not open\n");
        return 1;
    }
    // The threaded timer's first wait measures from reading 0; it only sets
    // the phase.
    if (threaded) {
        api.WaitForRTTimer(timer);
    }
    uint64_t missed_ticks = 0;

    const bool progress = stdout_is_terminal();
    std::vector<double> intervals_s;
    intervals_s.reserve(options.seconds > 0 ? static_cast<size_t>(options.seconds * options.rate) + 1
                                            : static_cast<size_t>(options.ticks));
    const Clock::time_point start = Clock::now();
    const double cpu_start_s = process_cpu_seconds();
    Clock::time_point last_tick = start;
    Clock::time_point last_progress = start;
    double worst_error_s = 0.0;
    for (;;) {
        const double elapsed_total_s = std::chrono::duration<double>(last_tick - start).count();
        if (options.seconds > 0 ? elapsed_total_s >= options.seconds
                                : static_cast<long>(intervals_s.size()) >= options.ticks) {
            break;
        }
        double interval_s = -1.0;
        if (pacer != nullptr) {
            varnex_tick tick{};
            tick.size = sizeof tick;
            if (api.pacer_wait(pacer, &tick) == VARNEX_OK) {
                interval_s = tick.interval_s;
                missed_ticks += tick.missed;
            }
        } else {
            interval_s = threaded ? api.WaitForRTTimer(timer) : api.WaitForRTTimerLV(token);
        }
        last_tick = Clock::now();
        if (interval_s < 0) {
            std::fprintf(stderr, "\nvarnex_demo: no tick came within ten seconds\n");
            return 1;
        }
        intervals_s.push_back(interval_s);
        if (std::fabs(interval_s - nominal_s) > std::fabs(worst_error_s)) {
            worst_error_s = interval_s - nominal_s;
        }
        if (progress && last_tick - last_progress > std::chrono::milliseconds(100)) {
            last_progress = last_tick;
            const double so_far_s = std::chrono::duration<double>(last_tick - start).count();
            std::printf("\r%ld ticks, %.2f s, worst error %s", static_cast<long>(intervals_s.size()), so_far_s,
                        microseconds(worst_error_s).c_str());
            if (pacer != nullptr) {
                varnex_pacer_stats live{};
                live.size = sizeof live;
                api.pacer_get_stats(pacer, &live);
                std::printf(", lateness p99 %.1f us, CPU %.2f", static_cast<double>(live.lateness_p99_ns) / 1e3,
                            (process_cpu_seconds() - cpu_start_s) / so_far_s);
            }
            std::printf("   ");
            std::fflush(stdout);
        }
    }
    const double wall_s = std::chrono::duration<double>(last_tick - start).count();
    const double cpu_s = process_cpu_seconds() - cpu_start_s;
    if (threaded) {
        api.CloseRTTimer(timer);
    }
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    if (pacer != nullptr) {
        api.pacer_get_stats(pacer, &stats);
        api.pacer_destroy(pacer);
    }
    if (progress) {
        std::printf("\r%*s\r", 100, "");
    }

    if (!options.csv_path.empty()) {
        std::FILE* csv = std::fopen(options.csv_path.c_str(), "w");
        if (csv == nullptr) {
            std::fprintf(stderr, "varnex_demo: cannot write %s\n", options.csv_path.c_str());
            return 1;
        }
        std::fprintf(csv, "tick,interval_s,error_s\n");
        for (size_t tick = 0; tick < intervals_s.size(); ++tick) {
            std::fprintf(csv, "%zu,%.9f,%.9f\n", tick + 1, intervals_s[tick], intervals_s[tick] - nominal_s);
        }
        std::fclose(csv);
    }

    std::vector<double> errors_s;
    double sum_s = 0.0;
    for (const double interval_s : intervals_s) {
        errors_s.push_back(interval_s - nominal_s);
        sum_s += interval_s;
    }
    std::vector<double> sorted = errors_s;
    std::sort(sorted.begin(), sorted.end());
    const double count = static_cast<double>(intervals_s.size());
    if (pacer != nullptr) {
        const char* modes[] = {"spin", "sleep", "hybrid"};
        const char* policies[] = {"skip", "burst", "delay"};
        std::printf("pacer (%s, missed ticks: %s), %ld ticks per second: %zu ticks in %.3f s\n",
                    modes[options.mode], policies[options.missed], options.rate, intervals_s.size(), wall_s);
    } else {
        std::printf("%s timer, %ld ticks per second, priority index %d: %zu ticks in %.3f s\n",
                    threaded ? "threaded" : "polling", options.rate, options.priority_index, intervals_s.size(),
                    wall_s);
    }
    std::printf("nominal period   %.3f us\n", nominal_s * 1e6);
    std::printf("mean period      %.3f us\n", sum_s / count * 1e6);
    std::printf("error p50        %s\n", microseconds(percentile(sorted, 0.5)).c_str());
    std::printf("error p99        %s\n", microseconds(percentile(sorted, 0.99)).c_str());
    std::printf("error p99.9      %s\n", microseconds(percentile(sorted, 0.999)).c_str());
    std::printf("error max        %s\n", microseconds(sorted.back()).c_str());
    std::printf("drift            %s over the run (host clock against %zu ideal periods)\n",
                microseconds(wall_s - count * nominal_s).c_str(), intervals_s.size());
    std::printf("CPU per second   %.3f s\n", wall_s > 0 ? cpu_s / wall_s : 0.0);
    if (pacer != nullptr) {
        // The pacer's own figures: its grid does not drift, so its lateness
        // stays flat however long the run.
        std::printf("missed ticks     %llu\n", static_cast<unsigned long long>(missed_ticks));
        std::printf("lateness p50     %.3f us (the pacer's own statistics; p99 %.3f us, max %.3f us)\n",
                    static_cast<double>(stats.lateness_p50_ns) / 1e3, static_cast<double>(stats.lateness_p99_ns) / 1e3,
                    static_cast<double>(stats.lateness_max_ns) / 1e3);
        std::printf("pacer drift      %.3f us (latest 1,000 ticks' mean lateness against the first 1,000's)\n",
                    static_cast<double>(stats.drift_ns) / 1e3);
        std::printf("pacer CPU        %.3f s spinning, %.3f s asleep; the thread's CPU time %.3f s\n",
                    static_cast<double>(stats.spin_ns) * 1e-9, static_cast<double>(stats.sleep_ns) * 1e-9,
                    static_cast<double>(stats.cpu_ns) * 1e-9);
        if (options.mode == VARNEX_MODE_HYBRID) {
            std::printf("hybrid margin    %.1f us (learned from the sleeps' oversleep)\n",
                        static_cast<double>(stats.margin_ns) / 1e3);
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
    print_histogram(errors_s);
    return 0;
}
