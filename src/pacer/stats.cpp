#include "pacer/stats.h"

void publish_control_outcome(PublishedCounters& published, const ControlOutcome& outcome)
{
    auto update = [&](std::atomic<uint32_t>& bits, uint32_t now) {
        bits.store((bits.load(kRelaxed) & ~outcome.tried) | (now & outcome.tried), kRelaxed);
    };
    update(published.controls_active, outcome.applied);
    update(published.controls_denied, outcome.denied);
    update(published.controls_unsupported, outcome.tried & ~outcome.applied & ~outcome.denied);
}

void publish_controls_asked(PublishedCounters& published, uint32_t flags)
{
    for (std::atomic<uint32_t>* bits :
         {&published.controls_active, &published.controls_denied, &published.controls_unsupported}) {
        bits->store(bits->load(kRelaxed) & flags, kRelaxed);
    }
}

void fill_stats(const varnex_pacer& pacer, varnex_pacer_stats& stats)
{
    stats.ticks = pacer.published.ticks.load(kRelaxed);
    stats.missed = pacer.published.missed.load(kRelaxed);
    stats.cpu_ns = -1;
    stats.margin_ns = counts_to_ns(pacer.grid, pacer.published.margin_counts.load(kRelaxed));
    stats.controls_active = pacer.published.controls_active.load(kRelaxed);
    stats.controls_denied = pacer.published.controls_denied.load(kRelaxed);
    stats.controls_unsupported = pacer.published.controls_unsupported.load(kRelaxed);
    stats.clock_steps = pacer.published.clock_steps.load(kRelaxed);
    stats.clock_step_ns = pacer.published.clock_step_ns.load(kRelaxed);
    const platform::ClockSync sync = platform::system_clock_sync();
    stats.clock_synchronized = sync.synchronized;
    stats.clock_error_us = sync.estimated_error_us;
    if (pacer.config.follows_reference) {
        fill_reference_stats(pacer.following, stats);
    }
    if (!pacer.config.keep_stats) {
        return;
    }
    stats.late_ticks = pacer.published.late_ticks.load(kRelaxed);
    stats.late_overslept = pacer.published.late_by_cause[0].load(kRelaxed);
    stats.late_preempted = pacer.published.late_by_cause[1].load(kRelaxed);
    stats.late_host_late = pacer.published.late_by_cause[2].load(kRelaxed);
    stats.lateness_p50_ns = lateness_percentile(pacer.published.lateness, 0.5);
    stats.lateness_p99_ns = lateness_percentile(pacer.published.lateness, 0.99);
    stats.lateness_p999_ns = lateness_percentile(pacer.published.lateness, 0.999);
    stats.lateness_max_ns = pacer.published.lateness.max_ns.load(kRelaxed);
    stats.drift_ns = lateness_drift(pacer.published.lateness);
    stats.spin_ns = counts_to_ns(pacer.grid, pacer.published.spin_counts.load(kRelaxed));
    stats.sleep_ns = counts_to_ns(pacer.grid, pacer.published.sleep_counts.load(kRelaxed));
    // A forked child's copy measures no thread until its first wait opens
    // a clock of its own waiting thread.
    const bool own_process =
        pacer.process_generation.load(std::memory_order_acquire) == platform::process_generation();
    if (platform::ThreadClock* thread = pacer.waiting_thread.load(); thread != nullptr && own_process) {
        stats.cpu_ns = platform::thread_cpu_ns(thread);
    }
}
