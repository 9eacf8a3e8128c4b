#ifndef VARNEX_PACER_STATS_H
#define VARNEX_PACER_STATS_H

#include "pacer/atomics.h"
#include "pacer/pacer_state.h"

// The previous tick's share of the statistics; inline, as each wait begins.
inline void record_previous_tick(varnex_pacer& pacer)
{
    if (!pacer.config.keep_stats) {
        return;
    }
    if (pacer.waiter.unrecorded_spin_counts != 0) {
        add_relaxed(pacer.published.spin_counts, pacer.waiter.unrecorded_spin_counts);
        pacer.waiter.unrecorded_spin_counts = 0;
    }
    if (pacer.waiter.lateness_unrecorded) {
        record_lateness(pacer.published.lateness, pacer.waiter.unrecorded_lateness_ns);
        pacer.waiter.lateness_unrecorded = false;
    }
}

// From any thread.
void fill_stats(const varnex_pacer& pacer, varnex_pacer_stats& stats);

#endif
