// What the host suite asks of the system it runs on, written once per system:
// host_os_linux.cpp and host_os_windows.cpp.
#ifndef VARNEX_TESTS_HOST_OS_H
#define VARNEX_TESTS_HOST_OS_H

#include <set>
#include <string>

namespace host {

double seconds_now();
void sleep_for(double seconds);

// This process's threads, by system thread id.
std::set<unsigned> thread_ids();
// The thread that came since `before`; 0 if none did.
unsigned new_thread(const std::set<unsigned>& before);
// Stops a thread where it is, as SuspendThread does, until released; false
// if it could not be stopped.
bool hold_thread(unsigned id);
void release_thread(unsigned id);
// The threaded timer's handle is the host's to release once its worker ended.
void release_worker_handle(void* timer);

// Another process on the shared tick event: "tick RATE SECONDS" opens a
// threaded timer and lets it tick, "count RATE SECONDS" counts its waits.
// Returns once its timer is open; null if it failed to start.
struct Peer;
Peer* start_peer(const std::string& arguments);
// Waits for the peer to end: how many waits returned (0 when it only ticked),
// or -1 if it failed.
int finish_peer(Peer* peer);

}  // namespace host

#endif
