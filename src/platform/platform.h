// Every operation the library asks of the operating system. Exactly one set
// is linked in: the win32_*.cpp files, the linux_*.cpp files, or the tests'
// fake platform.
#ifndef VARNEX_PLATFORM_H
#define VARNEX_PLATFORM_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

using Handle = void*;

// The Linux counter's frequency: it counts nanoseconds.
constexpr int64_t kNanosecondsPerSecond = 1000000000;

// Windows' numbers, kept on every platform so that the core compares against
// the values the host's operating system reports.
constexpr uint32_t kWaitObject0 = 0;
constexpr uint32_t kWaitTimeout = 0x102;
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

constexpr int kThreadPriorityNormal = 0;
constexpr int kThreadPriorityAboveNormal = 1;
constexpr int kThreadPriorityHighest = 2;

// Start routine of a worker; its result becomes the thread's exit code.
using ThreadRoutine = uint32_t (*)();

// QueryPerformanceFrequency: false when there is no counter. Writes the
// frequency (0 on failure) either way.
bool query_frequency(int64_t* counts_per_second);
// QueryPerformanceCounter.
int64_t read_counter();

// The failed-open report: a modal box with one OK button; returns once it is
// dismissed.
void show_message_box(const char* text, const char* caption);

// A thread that runs `routine` only once resumed; null on failure. While it
// runs it keeps the library's code loaded (Windows: it holds a reference to
// the module, taken here, and drops it as it exits).
Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id);
void set_thread_priority(Handle thread, int priority);
void resume_thread(Handle thread);
uint32_t current_thread_id();

// An auto-reset event, not signalled, shared by name with every other process
// (on Linux, every process of the same user) that creates one of the same
// name; null on failure. Every handle is a multiple of four.
Handle create_named_event(const char* name);
// Releases one waiting thread, or, with none waiting, leaves the event
// signalled (one signal at most). Takes no lock that another call takes:
// callers never signal an event they have closed or are closing.
void set_event(Handle event);
void reset_event(Handle event);

// kWaitObject0 once an event is signalled (consuming the signal) or a thread
// has ended; kWaitTimeout or kWaitFailed otherwise.
uint32_t wait_for(Handle handle, uint32_t timeout_ms);
void close_handle(Handle handle);

// The pacer's own memory: whole pages that nothing else shares, so that
// locking and unlocking them touches no neighbour's (Linux: a mapping of its
// own; Windows: VirtualAlloc). Null on failure.
void* allocate_pages(size_t bytes);
void free_pages(void* pages, size_t bytes);

// A timer for the pacer's absolute-deadline sleeps, one per pacer (Windows:
// a high-resolution waitable timer where the system has one, else a plain
// one; Linux needs none and returns a non-null token). Null on failure.
Handle create_sleep_timer();
void close_sleep_timer(Handle timer);
enum class SleepResult { kReached, kInterrupted, kFailed };
// Sleeps until the counter reads `deadline_counts` or later (kReached, at
// once for a past deadline), until a signal interrupts the sleep
// (kInterrupted), or not at all: the system refused the sleep (kFailed).
SleepResult sleep_until(Handle timer, int64_t deadline_counts);
// The pacer's readiness handle, for a host's event loop to wait on (Linux: a
// timerfd on the counter's clock, non-blocking and close-on-exec; Windows: a
// manual-reset waitable timer, high-resolution where the system has one,
// apart from the sleep timer). Null on failure.
Handle create_ready_timer();
void close_ready_timer(Handle timer);
// What the host waits on: the descriptor, or the HANDLE's value.
intptr_t ready_timer_host_handle(Handle timer);
// Not ready until the counter reads `wake_counts` (at once for a reading
// already past), and ready from then until the next arm. From any thread.
void arm_ready_timer(Handle timer, int64_t wake_counts);
// In a forked child, whose copy of the handle is the parent's own timer: a
// timer of the child's own under the same host handle, not armed. False
// when the system gives none; the copy is then left as it was.
bool renew_ready_timer(Handle timer);

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

// The calling thread, for thread_cpu_ns from any thread; release it with
// close_thread_clock. Null when the thread cannot be measured.
Handle open_thread_clock();
void close_thread_clock(Handle thread);
// That thread's CPU time so far, in nanoseconds; -1 once it has ended.
int64_t thread_cpu_ns(Handle thread);

// The pacer's scheduling and power controls. Each apply fills `saved` with
// what its restore puts back. kDenied: the system refused it (a missing
// privilege); kUnsupported: this system has no such control, or the thread
// is in a state the restore could not put back. The thread controls act on
// the calling thread; memory and latency hold for as long as the pacer lives.
enum class Control { kBoost, kAffinity, kRealtime, kLockMemory, kDmaLatency, kNoThrottling, kMmcss };
enum class ControlResult { kApplied, kDenied, kUnsupported };
struct ControlRequest {
    uint64_t affinity_mask;
    uint32_t realtime_priority;
    uint32_t dma_latency_us;
    void* memory;
    size_t memory_bytes;
    // Where the affinity's apply keeps the thread's own CPU set: from
    // create_affinity_store, made between waits so that no wait allocates.
    Handle affinity_store;
};
struct SavedControl {
    int64_t value;
    int64_t timer_slack_ns;  // Linux real time: the slack the policy change resets
    // Linux latency: its place among the process's requests, which a forked
    // child closes at the fork. Held where the apply put it until its restore.
    SavedControl* previous_held;
    SavedControl* next_held;
};
ControlResult apply_control(Control control, const ControlRequest& request, SavedControl* saved);
void restore_control(Control control, const ControlRequest& request, const SavedControl& saved);
// False when `mask` names no CPU that the calling thread may run on, or one
// that the system's masks cannot name (above 31 on 32-bit Windows).
bool affinity_usable(uint64_t mask);
// Room for a thread's whole CPU set, every CPU of the machine; null on
// failure.
Handle create_affinity_store();
void close_affinity_store(Handle store);

// Linux, as the library unloads, once every worker has been told to stop:
// returns once none of them runs the library's code, and frees what this
// layer holds. (Windows needs none: each worker keeps the module loaded.)
void release_at_unload();

}  // namespace platform

#endif
