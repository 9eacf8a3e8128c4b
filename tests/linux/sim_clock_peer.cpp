// Another process on a named clock the host drives.
//   sim_clock_peer create NAME          creates the clock, says "ready", and
//                                       holds it until killed
//   sim_clock_peer control NAME DIE_AT  opens it and paces a 1 kHz loop on
//                                       it, saying "INDEX LATENESS_NS" for
//                                       each tick; at tick DIE_AT (-1: never)
//                                       it kills itself instead
//   sim_clock_peer handle NAME          the same loop, but waiting on the
//                                       readiness handle with poll()
// Exit codes: 0 once the clock's creator is gone, 2 for a failed call.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "varnex/pacer.h"

namespace {

void say(const char* text)
{
    const size_t length = std::strlen(text);
    if (write(STDOUT_FILENO, text, length) != static_cast<ssize_t>(length)) {
        _exit(2);
    }
}

int hold_created(const char* name)
{
    varnex_sim_clock_config config{};
    config.size = sizeof config;
    std::snprintf(config.name, sizeof config.name, "%s", name);
    varnex_sim_clock* clock = nullptr;
    if (varnex_sim_clock_create(&config, &clock) != VARNEX_OK) {
        return 2;
    }
    say("ready\n");
    for (;;) {
        pause();
    }
}

int control(const char* name, long die_at, bool on_handle)
{
    varnex_sim_clock* clock = nullptr;
    varnex_pacer* pacer = nullptr;
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 1000;
    config.rate_den = 1;
    intptr_t handle = -1;
    if (varnex_sim_clock_open(name, &clock) != VARNEX_OK || varnex_pacer_create_on(&config, clock, &pacer) != VARNEX_OK ||
        (on_handle && varnex_pacer_wait_handle(pacer, &handle) != VARNEX_OK)) {
        return 2;
    }
    say("ready\n");
    for (;;) {
        varnex_tick tick{};
        tick.size = sizeof tick;
        const int status = varnex_pacer_wait(pacer, &tick);
        if (status == VARNEX_E_NOT_DUE && on_handle) {
            pollfd ready{static_cast<int>(handle), POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        if (status == VARNEX_E_CLOCK_GONE) {
            varnex_pacer_destroy(pacer);
            varnex_sim_clock_destroy(clock);
            return 0;
        }
        if (status != VARNEX_OK) {
            return 2;
        }
        if (static_cast<long>(tick.index) == die_at) {
            kill(getpid(), SIGKILL);
        }
        char line[64];
        std::snprintf(line, sizeof line, "%llu %lld\n", static_cast<unsigned long long>(tick.index),
                      static_cast<long long>(tick.lateness_ns));
        say(line);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "create") == 0) {
        return hold_created(argv[2]);
    }
    if (argc == 4 && std::strcmp(argv[1], "control") == 0) {
        return control(argv[2], std::atol(argv[3]), false);
    }
    if (argc == 3 && std::strcmp(argv[1], "handle") == 0) {
        return control(argv[2], -1, true);
    }
    return 2;
}
