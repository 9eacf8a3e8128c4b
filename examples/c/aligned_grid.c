/* A pacer on the system clock's grid: tick k is the same instant on every synchronized machine. */
#include <stdio.h>
#include <varnex/pacer.h>

int main(void)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 100;                            /* 100 ticks a second on every machine */
    config.rate_den = 1;
    config.mode = VARNEX_MODE_HYBRID;
    config.flags = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK; /* phase_ns: 0 to under a period; -1 is 0 */
    varnex_pacer* pacer = NULL;
    int status = varnex_pacer_create(&config, &pacer);
    if (status != VARNEX_OK) { fprintf(stderr, "%s\n", varnex_strerror(status)); return 1; }
    varnex_tick tick = {.size = sizeof tick};
    status = varnex_pacer_wait(pacer, &tick);         /* the first grid point after now */
    uint64_t first = tick.index, passed = 0;          /* ticks counted from 1970 */
    for (int cycle = 1; cycle < 20 && status == VARNEX_OK; ++cycle) {
        status = varnex_pacer_wait(pacer, &tick);
        passed += 1 + tick.missed;
    }
    if (status == VARNEX_OK)
        printf("grid point %.0f is %.2f s after 1970; %s\n", (double)tick.index, tick.index / 100.0,
               tick.index == first + passed ? "no index skipped or repeated" : "indexes out of order");
    else
        fprintf(stderr, "%s\n", varnex_strerror(status));
    varnex_pacer_destroy(pacer);
    return status == VARNEX_OK ? 0 : 1;
}
