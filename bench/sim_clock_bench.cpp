// A clock the host drives, at full speed: auto-advance through a pacer's
// ticks on one thread, and a simulator in lockstep with controller threads,
// or with a controller process, each step an advance that settles. Prints a
// Markdown table of the medians over the rounds.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "counter.h"
#include "varnex/pacer.h"

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int64_t now_ns()
{
    return static_cast<int64_t>(counts_to_ns(read_counter()));
}

int64_t elapsed_ns(int64_t start_ns)
{
    return now_ns() - start_ns;
}

varnex_sim_clock* make_clock(uint32_t flags, const char* name = "")
{
    varnex_sim_clock_config config{sizeof(varnex_sim_clock_config), flags, 0, {}};
    std::snprintf(config.name, sizeof config.name, "%s", name);
    varnex_sim_clock* clock = nullptr;
    if (varnex_sim_clock_create(&config, &clock) != VARNEX_OK) {
        std::fprintf(stderr, "no clock: %s\n", name);
        std::exit(1);
    }
    return clock;
}

varnex_pacer* pacer_on(varnex_sim_clock* clock, double rate_hz)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_hz = rate_hz;
    config.phase_ns = 0;
    varnex_pacer* pacer = nullptr;
    if (varnex_pacer_create_on(&config, clock, &pacer) != VARNEX_OK) {
        std::fprintf(stderr, "no pacer\n");
        std::exit(1);
    }
    return pacer;
}

// Ticks a second of wall time, one 1 kHz pacer on an auto-advancing clock.
double auto_advance_rate(uint64_t ticks)
{
    varnex_sim_clock* clock = make_clock(VARNEX_SIM_AUTO_ADVANCE);
    varnex_pacer* pacer = pacer_on(clock, 1000.0);
    const int64_t start_ns = now_ns();
    for (uint64_t i = 0; i < ticks; ++i) {
        varnex_pacer_wait(pacer, nullptr);
    }
    const double seconds = static_cast<double>(elapsed_ns(start_ns)) * 1e-9;
    varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(clock);
    return static_cast<double>(ticks) / seconds;
}

struct Lockstep {
    double steps_per_second;
    double round_trip_p50_us;
};

// The simulator advances 1 ms a step and settles; each controller waits on
// its own 1 kHz pacer.
Lockstep run_lockstep(varnex_sim_clock* clock, uint64_t steps)
{
    std::vector<double> round_trips_us;
    round_trips_us.reserve(steps);
    const int64_t start_ns = now_ns();
    for (uint64_t step = 1; step <= steps; ++step) {
        const int64_t step_start_ns = now_ns();
        if (varnex_sim_clock_advance(clock, static_cast<int64_t>(step) * 1000000, 10000000000) != VARNEX_OK) {
            std::fprintf(stderr, "a step did not settle\n");
            std::exit(1);
        }
        round_trips_us.push_back(static_cast<double>(elapsed_ns(step_start_ns)) * 1e-3);
    }
    const double seconds = static_cast<double>(elapsed_ns(start_ns)) * 1e-9;
    return {static_cast<double>(steps) / seconds, median(round_trips_us)};
}

// Waits tick after tick until cancelled: back after every tick, the last too.
void control(varnex_pacer* pacer)
{
    while (varnex_pacer_wait(pacer, nullptr) == VARNEX_OK) {
    }
}

Lockstep lockstep_threads(int controllers, uint64_t steps)
{
    varnex_sim_clock* clock = make_clock(0);
    std::vector<varnex_pacer*> pacers;
    std::vector<std::thread> threads;
    for (int i = 0; i < controllers; ++i) {
        pacers.push_back(pacer_on(clock, 1000.0));
        threads.emplace_back(control, pacers.back());
    }
    varnex_sim_clock_advance(clock, 0, 10000000000);
    const Lockstep result = run_lockstep(clock, steps);
    for (varnex_pacer* pacer : pacers) {
        varnex_pacer_cancel(pacer);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (varnex_pacer* pacer : pacers) {
        varnex_pacer_destroy(pacer);
    }
    varnex_sim_clock_destroy(clock);
    return result;
}

// The controller in a process of its own, on the named clock.
Lockstep lockstep_process(uint64_t steps)
{
    const std::string name = "varnex-bench." + std::to_string(getpid());
    varnex_sim_clock* clock = make_clock(0, name.c_str());
    int ready[2];
    if (pipe(ready) != 0) {
        std::exit(1);
    }
    const pid_t child = fork();
    if (child == 0) {
        varnex_sim_clock* opened = nullptr;
        if (varnex_sim_clock_open(name.c_str(), &opened) != VARNEX_OK) {
            _exit(1);
        }
        varnex_pacer* pacer = pacer_on(opened, 1000.0);
        const char byte = 1;
        if (write(ready[1], &byte, 1) != 1) {
            _exit(1);
        }
        // The parent's destroy ends the wait: the clock is gone.
        control(pacer);
        varnex_pacer_destroy(pacer);
        varnex_sim_clock_destroy(opened);
        _exit(0);
    }
    // Once the child's pacer is on the clock, a settle waits for its first wait.
    char byte = 0;
    if (read(ready[0], &byte, 1) != 1) {
        std::fprintf(stderr, "the controller process did not start\n");
        std::exit(1);
    }
    close(ready[0]);
    close(ready[1]);
    varnex_sim_clock_advance(clock, 0, 10000000000);
    const Lockstep result = run_lockstep(clock, steps);
    varnex_sim_clock_destroy(clock);
    int status = 0;
    waitpid(child, &status, 0);
    return result;
}

void futex_wait(std::atomic<uint32_t>& word, uint32_t expected)
{
    while (word.load() == expected) {
        syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
    }
}

void futex_wake(std::atomic<uint32_t>& word)
{
    word.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The floor under a lockstep step: two threads handing a futex word back and
// forth, with nothing else.
Lockstep bare_ping_pong(uint32_t round_trips)
{
    std::atomic<uint32_t> there{0};
    std::atomic<uint32_t> back{0};
    std::thread partner([&] {
        for (uint32_t i = 0; i < round_trips; ++i) {
            futex_wait(there, i);
            futex_wake(back);
        }
    });
    std::vector<double> round_trips_us;
    round_trips_us.reserve(round_trips);
    const int64_t start_ns = now_ns();
    for (uint32_t i = 0; i < round_trips; ++i) {
        const int64_t trip_start_ns = now_ns();
        futex_wake(there);
        futex_wait(back, i);
        round_trips_us.push_back(static_cast<double>(elapsed_ns(trip_start_ns)) * 1e-3);
    }
    const double seconds = static_cast<double>(elapsed_ns(start_ns)) * 1e-9;
    partner.join();
    return {static_cast<double>(round_trips) / seconds, median(round_trips_us)};
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    std::vector<double> auto_rates;
    std::vector<double> bare_rates, bare_p50, one_rates, one_p50, four_rates, four_p50, process_rates, process_p50;
    for (int round = 0; round < rounds; ++round) {
        auto_rates.push_back(auto_advance_rate(3600000));
        const Lockstep bare = bare_ping_pong(100000);
        bare_rates.push_back(bare.steps_per_second);
        bare_p50.push_back(bare.round_trip_p50_us);
        const Lockstep one = lockstep_threads(1, 100000);
        one_rates.push_back(one.steps_per_second);
        one_p50.push_back(one.round_trip_p50_us);
        const Lockstep four = lockstep_threads(4, 50000);
        four_rates.push_back(four.steps_per_second);
        four_p50.push_back(four.round_trip_p50_us);
        const Lockstep process = lockstep_process(50000);
        process_rates.push_back(process.steps_per_second);
        process_p50.push_back(process.round_trip_p50_us);
    }
    std::printf("| row | rate | p50 round trip |\n|---|---:|---:|\n");
    std::printf("| auto-advance, one 1 kHz pacer, one thread | %.2f M ticks/s | – |\n", median(auto_rates) * 1e-6);
    std::printf("| bare futex ping-pong between two threads | %.0f round trips/s | %.1f µs |\n", median(bare_rates),
                median(bare_p50));
    std::printf("| lockstep, simulator and one controller thread | %.0f steps/s | %.1f µs |\n", median(one_rates),
                median(one_p50));
    std::printf("| lockstep, simulator and four controller threads | %.0f steps/s | %.1f µs |\n", median(four_rates),
                median(four_p50));
    std::printf("| lockstep, simulator and one controller process | %.0f steps/s | %.1f µs |\n",
                median(process_rates), median(process_p50));
    return 0;
}
