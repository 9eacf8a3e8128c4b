// The eight exports' two timers, as a host that already calls them does.
#include <cstdio>

#include "varnex.h"

int main()
{
    // 100 ticks per second; priority index 0, 1 or 2 (highest, above normal, normal).
    unsigned int token = OpenRTTimerLV(100, 2);
    if (token == 0) return 1;                          // a bad rate or priority, or no counter
    double polled = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        polled += WaitForRTTimerLV(token);             // about 0.01
    }

    void* timer = OpenRTTimer(100, 2);
    if (timer == nullptr) return 1;
    // The first wait measures from the process's previous threaded wait, or,
    // with none, from the counter's zero (on Linux, the boot): not a period.
    if (WaitForRTTimer(timer) < 0) return 1;
    double threaded = 0;
    for (int cycle = 0; cycle < 50; ++cycle) {
        double seconds = WaitForRTTimer(timer);        // -1.0: no tick for ten seconds, timer closed
        if (seconds < 0) return 1;
        threaded += seconds;
    }
    CloseRTTimer(timer);   // 0 while the worker finishes its last spin, -1 once it has ended
    std::printf("polling: 50 ticks in %.2f s; threaded: 50 ticks in %.2f s\n", polled, threaded);
}
