#include <stdio.h>
#include <varnex/pacer.h>

int main(void)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);         /* spin mode, missed ticks skipped */
    config.mode = VARNEX_MODE_HYBRID;          /* sleep, then spin the last stretch */
    config.rate_num = 30000;
    config.rate_den = 1001;
    varnex_pacer* pacer = NULL;
    int status = varnex_pacer_create(&config, &pacer);
    if (status != VARNEX_OK) { fprintf(stderr, "%s\n", varnex_strerror(status)); return 1; }
    varnex_tick tick = {.size = sizeof tick};
    for (int frame = 0; frame < 30 && status == VARNEX_OK; ++frame)
        status = varnex_pacer_wait(pacer, &tick); /* one frame of work after each */
    if (status == VARNEX_OK)
        printf("tick %u came %.1f us late\n", (unsigned)tick.index, tick.lateness_s * 1e6);
    else
        fprintf(stderr, "%s\n", varnex_strerror(status));
    varnex_pacer_destroy(pacer);
    return status == VARNEX_OK ? 0 : 1;
}
