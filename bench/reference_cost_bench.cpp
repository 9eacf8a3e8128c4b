// What following a reference costs: an observation, the library's clock that
// stamps it, and a wait on a following pacer beside an aligned one's (the
// first 1.7 rows; a program of their own, so that call_cost_bench still runs
// against older libraries for scripts/compare-call-cost.sh).
#include "pacer_rows.h"
#include "varnex/pacer.h"

namespace {

// A wait whose grid has the clock check of an aligned pacer: the yardstick.
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

}  // namespace

BENCHMARK_MAIN();
