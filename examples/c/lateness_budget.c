/* A hybrid pacer that may be 200 us late at p99, and what each tick's cause says. */
#include <stdio.h>
#include <varnex/pacer.h>

int main(void)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.mode = VARNEX_MODE_HYBRID;                 /* a budget is a learning hybrid's */
    config.rate_num = 1000;
    config.rate_den = 1;
    varnex_pacer* pacer = NULL;
    if (varnex_pacer_create(&config, &pacer) != VARNEX_OK) return 1;
    varnex_pacer_set_lateness_budget(pacer, 200000);  /* a p99 lateness of 200 us is fine */
    varnex_tick tick = {.size = sizeof tick};
    unsigned on_time = 0;
    int status = VARNEX_OK;
    for (int cycle = 0; cycle < 500 && status == VARNEX_OK; ++cycle) {
        status = varnex_pacer_wait(pacer, &tick);
        on_time += tick.cause == VARNEX_CAUSE_ON_TIME; /* or OVERSLEPT, PREEMPTED, HOST_LATE */
    }
    varnex_pacer_stats stats = {.size = sizeof stats};
    varnex_pacer_get_stats(pacer, &stats);
    if (status == VARNEX_OK)
        printf("%u of %u ticks on time; late: %u overslept, %u preempted, %u host late\n", on_time,
               (unsigned)stats.ticks, (unsigned)stats.late_overslept, (unsigned)stats.late_preempted,
               (unsigned)stats.late_host_late);
    else
        fprintf(stderr, "%s\n", varnex_strerror(status));
    varnex_pacer_destroy(pacer);
    return status == VARNEX_OK ? 0 : 1;
}
