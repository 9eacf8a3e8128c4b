// The statistics: the only writers of the counters a pacer publishes, each
// called where its count is taken, and the reader for any thread.
#ifndef VARNEX_PACER_STATS_H
#define VARNEX_PACER_STATS_H

#include "pacer/atomics.h"
#include "pacer/pacer_state.h"

// A tick returned with `missed` ticks passed over. Counted with the tick, as
// `ticks` is: a reader never sees a late tick that is not yet counted late.
inline void publish_tick(PublishedCounters& published, uint64_t missed, uint32_t cause)
{
    add_relaxed(published.ticks, uint64_t{1});
    add_relaxed(published.missed, missed);
    if (cause >= VARNEX_CAUSE_OVERSLEPT) {
        add_relaxed(published.late_ticks, uint64_t{1});
        add_relaxed(published.late_by_cause[cause - VARNEX_CAUSE_OVERSLEPT], uint64_t{1});
    }
}

inline void publish_clock_step(PublishedCounters& published, int64_t size_ns)
{
    add_relaxed(published.clock_steps, uint32_t{1});
    add_relaxed(published.clock_step_ns, size_ns);
}

inline void publish_margin(PublishedCounters& published, int64_t margin_counts)
{
    published.margin_counts.store(margin_counts, kRelaxed);
}

inline void publish_sleep(PublishedCounters& published, int64_t sleep_counts)
{
    add_relaxed(published.sleep_counts, sleep_counts);
}

// For each control tried, how it fared the last time.
void publish_control_outcome(PublishedCounters& published, const ControlOutcome& outcome);
// What was set before and is no longer asked for shows nothing.
void publish_controls_asked(PublishedCounters& published, uint32_t flags);

// A spin's time, held for the next wait to record.
inline void hold_spin(UnrecordedTick& unrecorded, int64_t spin_counts)
{
    unrecorded.spin_counts += spin_counts;
}

// The tick just returned, held for the next wait to record.
inline void hold_for_record(const PacerConfig& config, UnrecordedTick& unrecorded, int64_t lateness_ns)
{
    unrecorded.lateness_ns = lateness_ns;
    unrecorded.lateness_held = config.keep_stats;
}

// The previous tick's share of the statistics; inline, as each wait begins.
inline void record_previous_tick(varnex_pacer& pacer)
{
    if (!pacer.config.keep_stats) {
        return;
    }
    UnrecordedTick& unrecorded = pacer.unrecorded;
    if (unrecorded.spin_counts != 0) {
        add_relaxed(pacer.published.spin_counts, unrecorded.spin_counts);
        unrecorded.spin_counts = 0;
    }
    if (unrecorded.lateness_held) {
        record_lateness(pacer.published.lateness, unrecorded.lateness_ns);
        unrecorded.lateness_held = false;
    }
}

// From any thread.
void fill_stats(const varnex_pacer& pacer, varnex_pacer_stats& stats);

#endif
