// Another process on the same shared tick event.
//   timer_peer tick RATE SECONDS   opens a threaded timer and only lets it tick
//   timer_peer count RATE SECONDS  opens one and counts the waits that returned
// Prints "ready" once its timer is open, and the count (0 for tick) as it ends.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "varnex.h"

namespace {

double seconds_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s tick|count RATE SECONDS\n", argv[0]);
        return 2;
    }
    const bool counting = std::strcmp(argv[1], "count") == 0;
    const long rate = std::atol(argv[2]);
    const double duration_s = std::atof(argv[3]);
    void* timer = OpenRTTimer(rate, 2);
    if (timer == nullptr) {
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int waits = 0;
    const double end_s = seconds_now() + duration_s;
    while (seconds_now() < end_s) {
        if (!counting) {
            const timespec pause{0, 10000000};
            nanosleep(&pause, nullptr);
        } else if (WaitForRTTimer(timer) >= 0) {
            ++waits;
        }
    }
    CloseRTTimer(timer);
    std::printf("%d\n", waits);
    return 0;
}
