// What one WaitForRTTimerLV costs when it ends at its first reading (a rate
// above the counter's frequency gives a threshold of -1), against one read of
// the counter it spins on.
#include <benchmark/benchmark.h>

#include <time.h>

#include "varnex.h"

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

}  // namespace

BENCHMARK_MAIN();
