// The pacer's timers: its absolute-deadline sleep, and the readiness handle
// that a host's event loop waits on.
#ifndef VARNEX_PLATFORM_TIMERS_H
#define VARNEX_PLATFORM_TIMERS_H

#include <atomic>
#include <cstdint>

#include "platform/counter.h"

namespace platform {

struct SleepTimer;
struct ReadyTimer;

// A timer for the pacer's absolute-deadline sleeps, one per pacer (Windows:
// a high-resolution waitable timer where the system has one, else a plain
// one; Linux needs none and returns a non-null token). Null on failure.
SleepTimer* create_sleep_timer();
void close_sleep_timer(SleepTimer* timer);
enum class SleepResult { kReached, kInterrupted, kFailed };
// Sleeps until the counter reads `deadline_counts` or later (kReached, at
// once for a past deadline), until a signal interrupts the sleep
// (kInterrupted), or not at all: the system refused the sleep (kFailed).
SleepResult sleep_until(SleepTimer* timer, int64_t deadline_counts);
// The pacer's readiness handle, for a host's event loop to wait on (Linux: a
// timerfd on the counter's clock, non-blocking and close-on-exec; Windows: a
// manual-reset waitable timer, high-resolution where the system has one,
// apart from the sleep timer). Null on failure.
ReadyTimer* create_ready_timer();
void close_ready_timer(ReadyTimer* timer);
// What the host waits on: the descriptor, or the HANDLE's value.
intptr_t ready_timer_host_handle(ReadyTimer* timer);
// Not ready until the counter reads `wake_counts` (at once for a reading
// already past), and ready from then until the next arm. From any thread.
void arm_ready_timer(ReadyTimer* timer, int64_t wake_counts);
// In a forked child, whose copy of the handle is the parent's own timer: a
// timer of the child's own under the same host handle, not armed. False
// when the system gives none; the copy is then left as it was.
bool renew_ready_timer(ReadyTimer* timer);

namespace detail {
extern std::atomic<uint32_t> fork_generation;
}
// Changes in a child of fork() (POSIX), and nowhere else: what a process
// made before, its kernel objects the parent's, shows an older value. One
// relaxed load.
inline uint32_t process_generation()
{
    return detail::fork_generation.load(std::memory_order_relaxed);
}

}  // namespace platform

#endif
