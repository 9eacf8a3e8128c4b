// What one WaitForRTTimerLV costs when it ends at its first reading (a rate
// above the counter's frequency gives a threshold of -1), against one read of
// the counter it spins on; and what the pacer's statistics, and its clock
// check when aligned to the system clock, add to a wait.
#include <benchmark/benchmark.h>

#include <time.h>

#include "varnex.h"
#include "varnex/pacer.h"

namespace {

void counter_read(benchmark::State& state)
{
    timespec now;
    for (auto _ : state) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize(now);
    }
}
BENCHMARK(counter_read);

void wait_at_first_reading(benchmark::State& state)
{
    const unsigned int token = OpenRTTimerLV(2000000000L, 2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(WaitForRTTimerLV(token));
    }
}
BENCHMARK(wait_at_first_reading);

varnex_pacer* created(uint32_t flags, uint32_t mode = VARNEX_MODE_SPIN, uint32_t rate = 1000000000)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.mode = mode;
    config.rate_num = rate;
    config.rate_den = 1;
    config.flags = flags;
    varnex_pacer* pacer = nullptr;
    varnex_pacer_create(&config, &pacer);
    return pacer;
}

// A pacer at one tick a nanosecond: every wait finds its deadline passed or
// one read away, so that rows of other flags differ by what those add to a
// wait.
void wait_repeatedly(benchmark::State& state, uint32_t flags, uint32_t mode = VARNEX_MODE_SPIN)
{
    varnex_pacer* pacer = created(flags, mode);
    varnex_tick tick{};
    tick.size = sizeof tick;
    for (auto _ : state) {
        benchmark::DoNotOptimize(varnex_pacer_wait(pacer, &tick));
    }
    varnex_pacer_destroy(pacer);
}

// The statistics' per-tick bookkeeping.
void pacer_wait(benchmark::State& state)
{
    wait_repeatedly(state, state.range(0) != 0 ? 0 : VARNEX_PACER_NO_STATS);
}
BENCHMARK(pacer_wait)->ArgName("statistics")->Arg(0)->Arg(1);

// Over the statistics-on row: the clock check of every wait on a grid aligned
// to the system clock.
void pacer_wait_aligned(benchmark::State& state)
{
    wait_repeatedly(state, VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK);
}
BENCHMARK(pacer_wait_aligned);

// Over the statistics-on row: a wait on a grid that follows a reference,
// observed once before each wait (the estimator and the steering as the wait
// begins); the observation's own cost is the reference_observe row.
void pacer_wait_following(benchmark::State& state)
{
    varnex_pacer* pacer = created(VARNEX_PACER_FOLLOW_REFERENCE);
    varnex_tick tick{};
    tick.size = sizeof tick;
    for (auto _ : state) {
        const int64_t now_ns = varnex_clock_ns();
        varnex_pacer_observe(pacer, now_ns + 1000000000000, now_ns);
        benchmark::DoNotOptimize(varnex_pacer_wait(pacer, &tick));
    }
    varnex_pacer_destroy(pacer);
}
BENCHMARK(pacer_wait_following);

// One observation: stamped now (-1), or with the host's own stamp; a full
// queue drops the oldest, never waits.
void reference_observe(benchmark::State& state)
{
    varnex_pacer* pacer = created(VARNEX_PACER_FOLLOW_REFERENCE, VARNEX_MODE_SPIN, 1000);
    const bool stamped_here = state.range(0) != 0;
    int64_t reference_ns = 0;
    for (auto _ : state) {
        ++reference_ns;
        benchmark::DoNotOptimize(varnex_pacer_observe(pacer, reference_ns, stamped_here ? -1 : reference_ns));
    }
    varnex_pacer_destroy(pacer);
}
BENCHMARK(reference_observe)->ArgName("stamped_here")->Arg(0)->Arg(1);

// The library's clock, for stamping observations.
void clock_ns(benchmark::State& state)
{
    for (auto _ : state) {
        benchmark::DoNotOptimize(varnex_clock_ns());
    }
}
BENCHMARK(clock_ns);

// A hybrid's wait whose deadline has passed: no sleep, and what is left is
// the hybrid's own bookkeeping, the late tick's cause among it.
void pacer_wait_hybrid(benchmark::State& state)
{
    wait_repeatedly(state, 0, VARNEX_MODE_HYBRID);
}
BENCHMARK(pacer_wait_hybrid);

}  // namespace

BENCHMARK_MAIN();
