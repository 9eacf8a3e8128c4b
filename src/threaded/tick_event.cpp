#include "threaded/tick_event.h"

#include <thread>

#include "core/timer_state.h"
#include "platform/platform.h"

namespace {
constexpr int32_t kGateIdle = 0;
constexpr int32_t kGateSignalling = 1;
// The event was taken out while a worker was signalling; that worker releases
// hEventToRelease on its way out.
constexpr int32_t kGateReleaseOnExit = 2;
}  // namespace

bool worker_owns_timer(uint32_t worker_thread_id)
{
    // nRunning alone would let a worker whose timer was closed and quickly
    // re-opened run on beside the new one.
    return timer_state.nRunning.load() == 1 &&
           timer_state.dwTimerThreadId.load() == worker_thread_id;
}

void signal_tick_event(uint32_t worker_thread_id)
{
    if (!worker_owns_timer(worker_thread_id)) {
        return;
    }
    int32_t gate = kGateIdle;
    // Busy only in the instant an earlier worker leaves, or while one was
    // suspended from outside inside its SetEvent: this tick is skipped.
    if (!timer_state.nEventGate.compare_exchange_strong(gate, kGateSignalling)) {
        return;
    }
    // Loaded inside the gate: a release that took the event out before this
    // load leaves null here; one that comes after it finds the gate busy and
    // leaves the CloseHandle to this worker, on its way out.
    void* event = timer_state.hTimerEvent.load();
    if (event != nullptr && worker_owns_timer(worker_thread_id)) {
        platform::set_event(event);
    }
    gate = kGateSignalling;
    if (!timer_state.nEventGate.compare_exchange_strong(gate, kGateIdle)) {
        platform::close_handle(timer_state.hEventToRelease.exchange(nullptr));
        timer_state.nEventGate.store(kGateIdle);
    }
}

void release_tick_event()
{
    void* event = timer_state.hTimerEvent.exchange(nullptr);
    if (event == nullptr) {
        return;
    }
    // One deferred release at a time. A second one can only be asked for while
    // a worker stays suspended inside its SetEvent; it waits for that worker.
    while (timer_state.nEventGate.load() == kGateReleaseOnExit) {
        std::this_thread::yield();
    }
    timer_state.hEventToRelease.store(event);
    int32_t gate = kGateSignalling;
    if (timer_state.nEventGate.compare_exchange_strong(gate, kGateReleaseOnExit)) {
        return;
    }
    event = timer_state.hEventToRelease.exchange(nullptr);
    if (event != nullptr) {
        platform::close_handle(event);
    }
}
