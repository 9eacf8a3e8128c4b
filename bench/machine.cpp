#include "machine.h"

#include <string>
#include <thread>
#include <vector>

#include "counter.h"
#include "methods.h"
#include "percentile.h"
#include "process_cpu.h"
#include "table.h"

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

}  // namespace

void describe_machine(std::FILE* csv)
{
    const double read_ns = counter_read_ns();
    std::printf("%s: counter at %lld counts per second, one read %.1f ns\n", kPlatform,
                static_cast<long long>(counter_frequency()), read_ns);
    write_sample(csv, "counter_read", "one counter read", 0, "read", read_ns);
#if defined(_WIN32)
    std::printf("high-resolution waitable timer: %s\n",
                has_high_resolution_timer() ? "yes" : "no (the pacer sleeps on a plain one)");
#else
    std::printf("absolute sleep: clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME)\n");
#endif
    varnex_pacer* sleeper = create_pacer(1000, VARNEX_MODE_SLEEP, 0);
    PacerTicks slept(1000);
    for (int tick = 0; tick < 500; ++tick) {
        slept.wait(sleeper);
    }
    varnex_pacer_destroy(sleeper);
    const std::vector<double> oversleep_ns = slept.lateness_ns();
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
    write_sample(csv, "margin_learned", "hybrid margin learned", 1000, "margin", static_cast<double>(stats.margin_ns));
}

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
            PacerTicks paced(rate);
            for (long tick = 0; tick < ticks; ++tick) {
                paced.wait(pacer);
            }
            varnex_pacer_destroy(pacer);
            lateness_ns[static_cast<size_t>(pacer_index)] = paced.lateness_ns();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const double cpu = (process_cpu_seconds() - cpu_start_s) / (counts_to_ns(read_counter() - start) * 1e-9);
    const std::string group = std::to_string(pacers) + " hybrid pacers";
    const std::string group_id = "many_hybrid_" + std::to_string(pacers);
    for (int pacer_index = 0; pacer_index < pacers; ++pacer_index) {
        const std::string name = group + ": pacer " + std::to_string(pacer_index + 1);
        const std::string id = group_id + "_" + std::to_string(pacer_index + 1);
        for (const double value : lateness_ns[static_cast<size_t>(pacer_index)]) {
            write_sample(csv, id, name, rate, "error", value);
        }
        print_row(name, rate, lateness_ns[static_cast<size_t>(pacer_index)], NAN);
    }
    write_sample(csv, group_id, group, rate, "cpu", cpu);
    std::printf("%-34s %6ld %43s %8.3f\n", (group + ": all").c_str(), rate, "", cpu);
}
