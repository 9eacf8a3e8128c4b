/* Prints the layout of each public struct as the C compiler sees it:
 * "struct sizeof N", then "struct field offset" for every field. */
#include <stddef.h>
#include <stdio.h>

#include "varnex/pacer.h"

#define STRUCT(type) printf("%s sizeof %u\n", #type, (unsigned)sizeof(type))
#define FIELD(type, field) printf("%s %s %u\n", #type, #field, (unsigned)offsetof(type, field))

int main(void)
{
    STRUCT(varnex_pacer_config);
    FIELD(varnex_pacer_config, size);
    FIELD(varnex_pacer_config, mode);
    FIELD(varnex_pacer_config, rate_num);
    FIELD(varnex_pacer_config, rate_den);
    FIELD(varnex_pacer_config, rate_hz);
    FIELD(varnex_pacer_config, phase_ns);
    FIELD(varnex_pacer_config, missed);
    FIELD(varnex_pacer_config, burst_cap);
    FIELD(varnex_pacer_config, flags);
    FIELD(varnex_pacer_config, margin_ns);

    STRUCT(varnex_reference_options);
    FIELD(varnex_reference_options, size);
    FIELD(varnex_reference_options, slew_ppm);
    FIELD(varnex_reference_options, step_threshold_ns);
    FIELD(varnex_reference_options, rebase_threshold_ns);
    FIELD(varnex_reference_options, holdover_ns);

    STRUCT(varnex_tick);
    FIELD(varnex_tick, size);
    FIELD(varnex_tick, cause);
    FIELD(varnex_tick, index);
    FIELD(varnex_tick, missed);
    FIELD(varnex_tick, lateness_ns);
    FIELD(varnex_tick, interval_ns);
    FIELD(varnex_tick, lateness_s);
    FIELD(varnex_tick, interval_s);

    STRUCT(varnex_pacer_stats);
    FIELD(varnex_pacer_stats, size);
    FIELD(varnex_pacer_stats, reserved);
    FIELD(varnex_pacer_stats, ticks);
    FIELD(varnex_pacer_stats, missed);
    FIELD(varnex_pacer_stats, lateness_p50_ns);
    FIELD(varnex_pacer_stats, lateness_p99_ns);
    FIELD(varnex_pacer_stats, lateness_p999_ns);
    FIELD(varnex_pacer_stats, lateness_max_ns);
    FIELD(varnex_pacer_stats, drift_ns);
    FIELD(varnex_pacer_stats, spin_ns);
    FIELD(varnex_pacer_stats, sleep_ns);
    FIELD(varnex_pacer_stats, cpu_ns);
    FIELD(varnex_pacer_stats, margin_ns);
    FIELD(varnex_pacer_stats, controls_active);
    FIELD(varnex_pacer_stats, controls_denied);
    FIELD(varnex_pacer_stats, controls_unsupported);
    FIELD(varnex_pacer_stats, clock_steps);
    FIELD(varnex_pacer_stats, clock_step_ns);
    FIELD(varnex_pacer_stats, clock_synchronized);
    FIELD(varnex_pacer_stats, clock_error_us);
    FIELD(varnex_pacer_stats, late_ticks);
    FIELD(varnex_pacer_stats, late_overslept);
    FIELD(varnex_pacer_stats, late_preempted);
    FIELD(varnex_pacer_stats, late_host_late);
    FIELD(varnex_pacer_stats, reference_state);
    FIELD(varnex_pacer_stats, reference_rebases);
    FIELD(varnex_pacer_stats, reference_phase_error_ns);
    FIELD(varnex_pacer_stats, reference_rate_offset_ppb);
    FIELD(varnex_pacer_stats, reference_jitter_ns);
    FIELD(varnex_pacer_stats, reference_steps);
    FIELD(varnex_pacer_stats, reference_observations);
    FIELD(varnex_pacer_stats, reference_dropped);
    FIELD(varnex_pacer_stats, reference_outliers);

    STRUCT(varnex_pacer_controls);
    FIELD(varnex_pacer_controls, size);
    FIELD(varnex_pacer_controls, flags);
    FIELD(varnex_pacer_controls, affinity_mask);
    FIELD(varnex_pacer_controls, realtime_priority);
    FIELD(varnex_pacer_controls, dma_latency_us);

    STRUCT(varnex_sim_clock_config);
    FIELD(varnex_sim_clock_config, size);
    FIELD(varnex_sim_clock_config, flags);
    FIELD(varnex_sim_clock_config, start_ns);
    FIELD(varnex_sim_clock_config, name);
    return 0;
}
