#include "dropin/tick_event.h"

#include "dropin/timer_state.h"
#include "dropin/platform/event.h"

namespace {

// The gate's states, in the low bits of hGatedEvent below the event they
// guard. Each open gives its event a gate of its own, so a worker held inside
// an older event's gate neither blocks the newer timer's ticks nor its close.
constexpr uint64_t kGateIdle = 0;
constexpr uint64_t kGateSignalling = 1;
// The event was released while a worker was signalling it; that worker
// closes it on its way out.
constexpr uint64_t kGateReleaseOnExit = 2;
constexpr uint64_t kGateStateBits = 3;
// Every event handle fits above the state: 32-bit handles with room to
// spare; 64-bit Windows keeps 32 significant bits in a handle (for 32-bit
// interop), sign-extended, so the way back shifts arithmetically; and Linux's
// are serials.
constexpr int kGateEventShift = 2;
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the gate is one lock-free word");

uint64_t gate_of(void* event, uint64_t state)
{
    return (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(event)) << kGateEventShift) | state;
}

void* event_of(uint64_t gate)
{
    return reinterpret_cast<void*>(static_cast<intptr_t>(static_cast<int64_t>(gate) >> kGateEventShift));
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
    uint64_t gate = timer_state.hGatedEvent.load();
    // Released, or busy in the instant an earlier worker leaves: this tick
    // is skipped.
    if (gate == 0 || (gate & kGateStateBits) != kGateIdle ||
        !timer_state.hGatedEvent.compare_exchange_strong(gate, gate | kGateSignalling)) {
        return;
    }
    // The event comes from the gate itself: whatever a release does from
    // here on, this worker knows which event it may have to close.
    void* event = event_of(gate);
    if (worker_owns_timer(worker_thread_id)) {
        platform::set_event(event);
    }
    uint64_t signalling = gate | kGateSignalling;
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
    uint64_t gate = timer_state.hGatedEvent.load();
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
