#ifndef VARNEX_PACER_STATS_H
#define VARNEX_PACER_STATS_H

#include "pacer/atomics.h"
#include "pacer/pacer_state.h"

// The previous tick's share of the statistics; inline, as each wait begins.
inline void record_previous_tick(varnex_pacer& pacer)
{
    if (!pacer.keep_stats) {
        return;
    }
    if (pacer.unrecorded_spin_counts != 0) {
        add_relaxed(pacer.spin_counts, pacer.unrecorded_spin_counts);
        pacer.unrecorded_spin_counts = 0;
    }
    if (pacer.lateness_unrecorded) {
        record_lateness(pacer.lateness, pacer.unrecorded_lateness_ns);
        pacer.lateness_unrecorded = false;
    }
}

// From any thread.
void fill_stats(const varnex_pacer& pacer, varnex_pacer_stats& stats);

#endif
