// Another process on the same shared tick event.
//   timer_peer tick RATE SECONDS   opens a threaded timer and only lets it tick
//   timer_peer count RATE SECONDS  opens one and counts the waits that returned
//   timer_peer mutex 0 SECONDS     (Windows) holds a mutex of the event's name
// Says it is ready once its timer is open, and its count as it ends
// (host_os.h: on Linux on standard output, on Windows by events and its exit
// code, 1000000 and above for a failure).
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host_os.h"
#include "varnex.h"

int main(int argc, char** argv)
{
    if (argc != 4 || !host::peer_await_go()) {
        return 1000000;
    }
    const double duration_s = std::atof(argv[3]);
    if (std::strcmp(argv[1], "mutex") == 0) {
        return host::peer_hold_mutex_named_like_the_event(duration_s) ? 0 : 1000001;
    }
    const bool counting = std::strcmp(argv[1], "count") == 0;
    void* timer = OpenRTTimer(std::atol(argv[2]), 2);
    if (timer == nullptr) {
        return 1000001;
    }
    host::peer_ready();
    int waits = 0;
    const double end_s = host::seconds_now() + duration_s;
    while (host::seconds_now() < end_s) {
        if (!counting) {
            host::sleep_for(0.01);
        } else if (WaitForRTTimer(timer) >= 0) {
            ++waits;
        }
    }
    CloseRTTimer(timer);
    std::vector<void*> closed{timer};
    host::release_ended_workers(closed);
    return host::peer_exit(waits);
}
