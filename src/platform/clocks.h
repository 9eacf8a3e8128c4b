// The clocks beside the counter: the system clock an aligned grid is on,
// and the CPU clock of the thread that waits.
#ifndef VARNEX_PLATFORM_CLOCKS_H
#define VARNEX_PLATFORM_CLOCKS_H

#include <cstdint>

#include "platform/counter.h"

namespace platform {

// The system clock that an aligned pacer's grid is on: UTC (Linux
// CLOCK_REALTIME, Windows GetSystemTimePreciseAsFileTime) or TAI (Linux
// CLOCK_TAI, which reads as UTC until the kernel is told the TAI offset).
enum class SystemClock { kUtc, kTai };
// kMissing: this system lacks it (no precise reading; TAI: no offset known);
// kUnsupported: no such clock on this kind of system.
enum class ClockAvailability { kAvailable, kMissing, kUnsupported };
ClockAvailability system_clock_availability(SystemClock clock);
// Nanoseconds since 1970-01-01T00:00:00 on an available clock.
int64_t read_system_clock_ns(SystemClock clock);
// True where the counter is slewed with the system clock (Linux: the kernel
// adjusts CLOCK_MONOTONIC's rate with CLOCK_REALTIME's), so that only a step
// changes their difference; false where the two run apart (Windows' counter).
bool counter_slews_with_system_clock();
// The kernel's view of the clock's discipline (Linux: adjtimex). Each is -1
// where unknown.
struct ClockSync {
    int32_t synchronized;  // 0 while STA_UNSYNC is set, else 1
    int32_t estimated_error_us;
};
ClockSync system_clock_sync();

struct ThreadClock;

// The calling thread's CPU clock, for thread_cpu_ns from any thread; release
// it with close_thread_clock. Null when the thread cannot be measured.
ThreadClock* open_thread_clock();
void close_thread_clock(ThreadClock* clock);
// That thread's CPU time so far, in nanoseconds; -1 once it has ended.
int64_t thread_cpu_ns(ThreadClock* clock);

}  // namespace platform

#endif
