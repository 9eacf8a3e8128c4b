// What one WaitForRTTimerLV costs when it ends at its first reading (a rate
// above the counter's frequency gives a threshold of -1), against one read of
// the counter it spins on; and what the pacer's statistics, and its clock
// check when aligned to the system clock, add to a wait.
#include <benchmark/benchmark.h>

#include <time.h>

#include "pacer_rows.h"
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

// A hybrid's wait whose deadline has passed: no sleep, and what is left is
// the hybrid's own bookkeeping, the late tick's cause among it.
void pacer_wait_hybrid(benchmark::State& state)
{
    wait_repeatedly(state, 0, VARNEX_MODE_HYBRID);
}
BENCHMARK(pacer_wait_hybrid);

}  // namespace

BENCHMARK_MAIN();
