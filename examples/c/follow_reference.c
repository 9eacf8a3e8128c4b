/* A pacer that follows a reference clock: here one simulated 300 ppm fast, read before each wait. */
#include <stdio.h>
#include <varnex/pacer.h>

int main(void)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 1000;                          /* the reference's nominal rate */
    config.rate_den = 1;
    config.mode = VARNEX_MODE_HYBRID;
    config.flags = VARNEX_PACER_FOLLOW_REFERENCE;    /* tick k where the reference reads k ms */
    varnex_pacer* pacer = NULL;
    int status = varnex_pacer_create(&config, &pacer);
    if (status != VARNEX_OK) { fprintf(stderr, "%s\n", varnex_strerror(status)); return 1; }
    const int64_t origin_ns = varnex_clock_ns();
    varnex_tick tick = {.size = sizeof tick};
    for (int cycle = 0; cycle < 500 && status == VARNEX_OK; ++cycle) {
        /* An audio device's position and timestamp, a PTP clock read between two readings, ...:
           the reference's reading, and the library's clock at that instant (or -1 for now). */
        const int64_t local_ns = varnex_clock_ns();
        const int64_t reference_ns = 7000000000 + (local_ns - origin_ns) + (local_ns - origin_ns) * 3 / 10000;
        varnex_pacer_observe(pacer, reference_ns, local_ns);
        status = varnex_pacer_wait(pacer, &tick);
    }
    varnex_pacer_stats stats = {.size = sizeof stats};
    varnex_pacer_get_stats(pacer, &stats);
    if (status == VARNEX_OK)
        printf("tick %.0f on the reference, %s at %+.1f ppm, %u re-base\n", (double)tick.index,
               stats.reference_state == VARNEX_REFERENCE_LOCKED ? "locked" : "not locked",
               stats.reference_rate_offset_ppb / 1000.0, (unsigned)stats.reference_rebases);
    else
        fprintf(stderr, "%s\n", varnex_strerror(status));
    varnex_pacer_destroy(pacer);
    return status == VARNEX_OK ? 0 : 1;
}
