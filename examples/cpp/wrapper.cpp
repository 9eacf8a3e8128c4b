// The header-only C++ wrapper: it owns the pacer and throws varnex::Error.
#include <cstdio>
#include <varnex/pacer.hpp>

int main()
{
    try {
        varnex::Pacer wrong(0, 1);                    // no rate: throws
    } catch (const varnex::Error& error) {
        std::printf("refused: %s (status %d)\n", error.what(), error.status());
    }
    varnex::Pacer pacer(1000, 1, VARNEX_MODE_SLEEP);  // 1000 ticks per second
    varnex_tick tick{};
    while (pacer.wait(tick) == VARNEX_OK) {           // VARNEX_E_CANCELLED once cancelled
        if (tick.index >= 99) {
            pacer.cancel();                           // from any thread; here, the waiting one
        }
    }
    const varnex_pacer_stats stats = pacer.stats();   // from any thread, too
    std::printf("cancelled after %u ticks (%u missed); p99 lateness %.1f us\n", (unsigned)stats.ticks,
                (unsigned)stats.missed, stats.lateness_p99_ns / 1e3);
}
