// Linux: what the platform files share, the drop-in timers' own among them.
#ifndef VARNEX_PLATFORM_LINUX_INTERNAL_H
#define VARNEX_PLATFORM_LINUX_INTERNAL_H

#include <time.h>

#include <atomic>
#include <cstdint>

namespace platform::detail {

// What a fork must find unlocked in the child, and what the child must not
// keep of the parent's: the latency requests, whose descriptors would hold
// the parent's request for as long as the child lives.
void lock_thread_clocks();
void unlock_thread_clocks();
void lock_latency_requests();
void unlock_latency_requests();
void close_latency_requests_in_child();
// A named clock's file: the child's copy of the descriptor shares the
// parent's open, and with it the parent's locks, which would outlive the
// parent while the child holds them. The child gets an open of its own.
void lock_clock_memories();
void unlock_clock_memories();
void reopen_clock_memories_in_child();

int64_t monotonic_ns();
timespec to_timespec(int64_t duration_ns);

// 0 when a FUTEX_WAKE took this thread off the word's queue; otherwise (the
// word was not `expected`, time-out, a signal) -1. Callers re-check. `shared`
// for a word in memory that other processes map.
long futex_wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout, bool shared);
// The number of waiters taken off the queue.
long futex_wake(std::atomic<uint32_t>* word, int waiters, bool shared);

}  // namespace platform::detail

#endif
