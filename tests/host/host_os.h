// What the host suite asks of the system it runs on, written once per system:
// host_os_linux.cpp and host_os_windows.cpp. Nothing here calls the library
// as linked, so that a program that loads and unloads it may use this too.
#ifndef VARNEX_TESTS_HOST_OS_H
#define VARNEX_TESTS_HOST_OS_H

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace host {

double seconds_now();
void sleep_for(double seconds);
// Polls until `condition` holds or `limit_s` passes; whether it held.
template <typename Condition>
bool eventually(Condition condition, double limit_s = 5.0)
{
    const double deadline_s = seconds_now() + limit_s;
    while (!condition()) {
        if (seconds_now() > deadline_s) {
            return false;
        }
        sleep_for(0.001);
    }
    return true;
}

// Ticks per second of the counter the eight exports read.
int64_t counter_hz();
// The data export nVarnex, a placeholder, read through the loaded library;
// -1 when the library exports none.
int placeholder_variable();

// This process's threads, by system thread id.
std::set<unsigned> thread_ids();
// This process's open file descriptors; -1 on Windows, where Wine's
// GetProcessHandleCount reports 0.
int open_descriptors();
// The thread that came since `before`; 0 if none did.
unsigned new_thread(const std::set<unsigned>& before);
// Stops a thread where it is, as SuspendThread does, until released; false
// if it could not be stopped.
bool hold_thread(unsigned id);
void release_thread(unsigned id);
// The threaded timer's handle is the host's to release once its worker ended.
void release_worker_handle(void* timer);
// Waits (at most 5 s each) for the closed timers' workers to end and releases
// their handles; false if one did not end. A Linux host holds nothing: the
// library reclaims an ended worker, and its handle may come back.
bool release_ended_workers(std::vector<void*>& timers);
// The threaded worker's scheduling priority as this system reports it, and
// what the priority index asks for with the privileges this process has.
int worker_priority(void* timer, unsigned worker_id);
int expected_worker_priority(int priority_index);
// Whether this process may raise a thread above its own priority (on Linux,
// CAP_SYS_NICE); without it the library's request is refused and ignored.
bool may_raise_thread_priority();
// Open, wait and close cycles a stress test can afford here: a thread starts
// an order of magnitude slower under Wine and under qemu's user-mode emulation.
int stress_cycles();
// Whether a pacer's readiness handle is ready now (a timerfd readable, a
// waitable timer signalled), without waiting.
bool handle_ready(intptr_t handle);

// Watches for a failed open's report from construction to report(): the line
// on standard error on Linux; on Windows the modal box, dismissed by the
// watch, as "CAPTION: TEXT\n", and only if it was shown before the open
// returned. Empty when nothing was reported.
class OpenReportWatch {
public:
    OpenReportWatch();
    ~OpenReportWatch();
    OpenReportWatch(const OpenReportWatch&) = delete;
    OpenReportWatch& operator=(const OpenReportWatch&) = delete;
    std::string report();
    struct State;

private:
    State* state_;
};

// Signals the threaded timers' shared tick event from outside, as a
// neighbour with access to it could.
bool signal_tick_event();

// Varnex loaded at run time by the host (dlopen, LoadLibrary by ordinal) and
// its threaded timer bound.
struct LoadedVarnex {
    void* module = nullptr;
    void* (*open)(long, int) = nullptr;
    double (*wait)(void*) = nullptr;
    short (*close)(void*) = nullptr;
};
LoadedVarnex load_varnex_library();
bool unload_varnex_library(const LoadedVarnex& loaded);
bool varnex_library_loaded();

// Another process on the shared tick event: "tick RATE SECONDS" opens a
// threaded timer and lets it tick, "count RATE SECONDS" counts its waits.
// Returns once its timer is open; null if it failed to start.
struct Peer;
Peer* start_peer(const std::string& arguments);
// Waits for the peer to end: how many waits returned (0 when it only ticked),
// or -1 if it failed.
int finish_peer(Peer* peer);

// The peer's side (timer_peer.cpp): where the test driver started it beside
// the test, waits for the test's go; then says it is ready, and its count.
bool peer_await_go();
void peer_ready();
int peer_exit(int count);
// Windows' "mutex 0 SECONDS": holds a mutex of the event's name instead of a
// timer. False on Linux, where the event is a file.
bool peer_hold_mutex_named_like_the_event(double seconds);

}  // namespace host

#endif
