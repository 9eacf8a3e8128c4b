/* A test of a loop's tick logic, on a clock that moves itself to each deadline: an hour of a
   1 kHz loop in a few seconds, exactly the same every run. One iteration plays a 5 ms stall, and
   the test checks what the skip policy makes of it. The argument: seconds of clock time. */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <varnex/pacer.h>

static varnex_sim_clock* clock_under_test;
static uint64_t stall_index;

/* The loop's work for a tick. Here, one iteration takes 5 ms of the clock: it advances the clock
   itself, without a settle (-1), as the loop is the one that would be waited for. */
static void work(const varnex_tick* tick)
{
    int64_t now_ns;
    if (tick->index == stall_index && varnex_sim_clock_now(clock_under_test, &now_ns) == VARNEX_OK)
        varnex_sim_clock_advance(clock_under_test, now_ns + 5000000, -1);
}

int main(int argc, char** argv)
{
    const uint64_t last_index = (argc > 1 ? strtoull(argv[1], NULL, 10) : 3600) * 1000 - 1;
    stall_index = last_index / 2;
    varnex_sim_clock_config clock_config = {.size = sizeof clock_config, .flags = VARNEX_SIM_AUTO_ADVANCE};
    varnex_pacer_config config;
    varnex_pacer_config_init(&config); /* missed ticks skipped */
    config.rate_num = 1000;
    config.rate_den = 1;
    varnex_pacer* pacer = NULL;
    if (varnex_sim_clock_create(&clock_config, &clock_under_test) != VARNEX_OK ||
        varnex_pacer_create_on(&config, clock_under_test, &pacer) != VARNEX_OK)
        return 1;

    const int64_t start_ns = varnex_clock_ns(); /* real time, to show it */
    varnex_tick tick = {.size = sizeof tick};
    uint64_t taken = 0, missed = 0;
    int status;
    while ((status = varnex_pacer_wait(pacer, &tick)) == VARNEX_OK) {
        ++taken;
        missed += tick.missed;
        if (tick.missed != 0 || tick.lateness_ns != 0)
            printf("tick %" PRIu64 ": %" PRIu64 " missed, %" PRId64 " ns late\n", tick.index, tick.missed,
                   tick.lateness_ns);
        if (tick.index == last_index) break;
        work(&tick);
    }
    const double real_s = (varnex_clock_ns() - start_ns) / 1e9;
    varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(clock_under_test);

    /* The stall ran to the deadline of stall_index + 5: skip counts the ticks up to that one as
       missed, 5 of them, and the wait returns the next, on time. */
    if (status != VARNEX_OK || missed != 5 || taken != last_index + 1 - 5) {
        fprintf(stderr, "status %d: %" PRIu64 " ticks taken, %" PRIu64 " missed\n", status, taken, missed);
        return 1;
    }
    printf("%" PRIu64 " s of clock time: %" PRIu64 " ticks taken and 5 missed at the stall, as skip counts; "
           "%.1f s of real time\n", (last_index + 1) / 1000, taken, real_s);
    return 0;
}
