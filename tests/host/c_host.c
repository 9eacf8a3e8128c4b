/* A C host of the pacer, as the README shows one: the header is plain C. */
#include <stdio.h>

#include "varnex/pacer.h"

int main(void)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 30000;
    config.rate_den = 1001;
    varnex_pacer* pacer = NULL;
    int status = varnex_pacer_create(&config, &pacer);
    if (status != VARNEX_OK) {
        fprintf(stderr, "%s\n", varnex_strerror(status));
        return 1;
    }
    varnex_tick tick = {0};
    tick.size = sizeof tick;
    for (int frame = 0; frame < 10; ++frame) {
        if (varnex_pacer_wait(pacer, &tick) != VARNEX_OK || tick.index + 1 < (uint64_t)frame + 1) {
            return 2;
        }
    }
    varnex_pacer_destroy(pacer);
    printf("ten frames at 30000/1001 per second, version %06x\n", (unsigned)varnex_version());
    return 0;
}
