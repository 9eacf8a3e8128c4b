// The module's one state record and the arithmetic both timers share.
#ifndef VARNEX_TIMER_STATE_H
#define VARNEX_TIMER_STATE_H

#include <atomic>
#include <cstdint>

// Fields named as the exported interface has always described them. Fields that
// a worker thread and the host's threads share are atomics; the wait fields of
// each timer belong to the one thread that calls that timer.
struct TimerState {
    std::atomic<int64_t> liFrequency;
    std::atomic<int64_t> liThreshold;
    std::atomic<int32_t> nRunning;
    std::atomic<void*> hTimerEvent;
    std::atomic<void*> hTimerThread;
    // The worker that owns the timer: a worker whose id is no longer here has
    // been replaced by a later open and stops, even though nRunning is 1.
    std::atomic<uint32_t> dwTimerThreadId;
    int64_t liPrevTick;
    int64_t liLastTick;
    int64_t liPrevTickLV;
    int64_t liLastTickLV;
    // The event a worker may signal, shifted past the gate's state in the two
    // low bits, so that one compare-and-swap covers both whatever the handle's
    // value: guards the worker's SetEvent against the close's CloseHandle, see
    // tick_event.cpp.
    std::atomic<uint64_t> hGatedEvent;
};

// All zero at load: constant-initialised, so loading runs no code of ours.
extern TimerState timer_state;

constexpr const char* kOpenFailureText = "Performance counter is not available.";
constexpr const char* kOpenFailureCaption = "Info";

// Queries the frequency into liFrequency, then validates. On failure shows the
// message box and returns false; nothing but liFrequency has changed.
bool open_prologue(long rate_ticks_per_second, int priority_index);

// liThreshold = frequency / rate - 1, truncated toward zero.
void set_threshold(long rate_ticks_per_second);

struct SpinEnd {
    int64_t elapsed_counts;
    int64_t end_reading;
};

// Spins from `reference_reading` until a reading lies at least liThreshold
// counts past it; every reading is stored to *latest_reading as it is taken.
SpinEnd spin_wait(int64_t reference_reading, int64_t* latest_reading);

double counts_to_seconds(int64_t elapsed_counts);

#endif
