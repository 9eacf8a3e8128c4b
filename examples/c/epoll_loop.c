/* An epoll loop that waits on the pacer's readiness handle beside its own descriptors. */
#include <stdio.h>
#include <sys/epoll.h>
#include <unistd.h>
#include <varnex/pacer.h>

int main(void)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.mode = VARNEX_MODE_HYBRID;
    config.rate_num = 1000;
    config.rate_den = 1;
    varnex_pacer* pacer = NULL;
    if (varnex_pacer_create(&config, &pacer) != VARNEX_OK) return 1;
    int loop = epoll_create1(EPOLL_CLOEXEC);
    int pipe_ends[2];                                  /* the loop's own work: a message */
    if (loop < 0 || pipe(pipe_ends) != 0 || write(pipe_ends[1], "hello", 5) != 5) return 1;
    struct epoll_event message = {.events = EPOLLIN, .data.fd = pipe_ends[0]};
    epoll_ctl(loop, EPOLL_CTL_ADD, pipe_ends[0], &message);

    intptr_t handle;
    if (varnex_pacer_wait_handle(pacer, &handle) != VARNEX_OK) return 1; /* the pacer owns it */
    struct epoll_event interest = {.events = EPOLLIN, .data.fd = (int)handle};
    epoll_ctl(loop, EPOLL_CTL_ADD, (int)handle, &interest);
    varnex_tick tick = {.size = sizeof tick};
    int ticks = 0, not_due = 0, served = 0;
    while (ticks < 100) {
        struct epoll_event ready[8];
        int count = epoll_wait(loop, ready, 8, -1);
        for (int i = 0; i < count; ++i) {
            if (ready[i].data.fd == (int)handle) {
                int status = varnex_pacer_wait(pacer, &tick);  /* spins the rest, if any */
                if (status != VARNEX_OK && status != VARNEX_E_NOT_DUE) {
                    fprintf(stderr, "%s\n", varnex_strerror(status)); /* the tick is not taken */
                    return 1;
                }
                ticks += status == VARNEX_OK;
                not_due += status == VARNEX_E_NOT_DUE;         /* not yet: keep looping */
            } else {
                char text[16];
                served += read(ready[i].data.fd, text, sizeof text) > 0;
            }
        }
    }
    /* To end: cancel, take the handle out of the loop, then destroy. */
    varnex_pacer_cancel(pacer);
    epoll_ctl(loop, EPOLL_CTL_DEL, (int)handle, NULL);
    varnex_pacer_destroy(pacer);
    printf("%d ticks from the readiness handle (%d not yet due), %d message served\n", ticks, not_due, served);
    return 0;
}
