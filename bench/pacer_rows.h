// What the call-cost benchmarks share: a pacer of the given flags, and a row
// of waits on it.
#ifndef VARNEX_BENCH_PACER_ROWS_H
#define VARNEX_BENCH_PACER_ROWS_H

#include <benchmark/benchmark.h>

#include "varnex/pacer.h"

inline varnex_pacer* created(uint32_t flags, uint32_t mode = VARNEX_MODE_SPIN, uint32_t rate = 1000000000)
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
inline void wait_repeatedly(benchmark::State& state, uint32_t flags, uint32_t mode = VARNEX_MODE_SPIN)
{
    varnex_pacer* pacer = created(flags, mode);
    varnex_tick tick{};
    tick.size = sizeof tick;
    for (auto _ : state) {
        benchmark::DoNotOptimize(varnex_pacer_wait(pacer, &tick));
    }
    varnex_pacer_destroy(pacer);
}

#endif
