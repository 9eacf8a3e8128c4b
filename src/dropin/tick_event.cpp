#include "dropin/tick_event.h"

#include "dropin/timer_state.h"
#include "platform/event.h"

namespace {

// The gate's states, in the low bits of hGatedEvent beside the event they
// guard. Each open gives its event a gate of its own, so a worker held inside
// an older event's gate neither blocks the newer timer's ticks nor its close.
constexpr uintptr_t kGateIdle = 0;
constexpr uintptr_t kGateSignalling = 1;
// The event was released while a worker was signalling it; that worker
// closes it on its way out.
constexpr uintptr_t kGateReleaseOnExit = 2;
constexpr uintptr_t kGateStateBits = 3;

uintptr_t gate_of(void* event, uintptr_t state)
{
    return reinterpret_cast<uintptr_t>(event) | state;
}

}  // namespace

bool worker_owns_timer(uint32_t worker_thread_id)
{
    // nRunning alone would let a worker whose timer was closed and quickly
    // re-opened run on beside the new one.
    return timer_state.nRunning.load() == 1 &&
           timer_state.dwTimerThreadId.load() == worker_thread_id;
}

void open_tick_event_gate(void* event)
{
    timer_state.hGatedEvent.store(gate_of(event, kGateIdle));
}

void signal_tick_event(uint32_t worker_thread_id)
{
    if (!worker_owns_timer(worker_thread_id)) {
        return;
    }
    uintptr_t gate = timer_state.hGatedEvent.load();
    // Released, or busy in the instant an earlier worker leaves: this tick
    // is skipped.
    if (gate == 0 || (gate & kGateStateBits) != kGateIdle ||
        !timer_state.hGatedEvent.compare_exchange_strong(gate, gate | kGateSignalling)) {
        return;
    }
    // The event comes from the gate itself: whatever a release does from
    // here on, this worker knows which event it may have to close.
    void* event = reinterpret_cast<void*>(gate);
    if (worker_owns_timer(worker_thread_id)) {
        platform::set_event(event);
    }
    uintptr_t signalling = gate | kGateSignalling;
    if (!timer_state.hGatedEvent.compare_exchange_strong(signalling, gate)) {
        // Only a release moves the gate out of this state (a later open
        // overwrites it only after releasing this event): it was left to us.
        platform::close_handle(event);
    }
}

void release_tick_event()
{
    void* event = timer_state.hTimerEvent.exchange(nullptr);
    if (event == nullptr) {
        return;
    }
    uintptr_t gate = timer_state.hGatedEvent.load();
    for (;;) {
        if (gate == gate_of(event, kGateSignalling)) {
            if (timer_state.hGatedEvent.compare_exchange_weak(gate, gate_of(event, kGateReleaseOnExit))) {
                return;
            }
            continue;
        }
        // Idle: closed now, and no worker can enter the gate after this.
        if (gate == gate_of(event, kGateIdle) && !timer_state.hGatedEvent.compare_exchange_weak(gate, 0)) {
            continue;
        }
        platform::close_handle(event);
        return;
    }
}
