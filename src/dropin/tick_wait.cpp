#include "dropin/timer_state.h"
#include "dropin/platform/event.h"
#include "platform/counter.h"
#include "varnex.h"

namespace {
constexpr uint32_t kTickWaitTimeoutMs = 10000;
}

double WaitForRTTimer(void* handle)
{
    void* event = timer_state.hTimerEvent.load();
    // No event after a close: fail at once rather than wait on a released
    // handle.
    if (event == nullptr || platform::wait_for(event, kTickWaitTimeoutMs) != platform::WaitResult::kSignalled) {
        CloseRTTimer(handle);
        return -1.0;
    }
    // A signal that came after the wait returned is dropped. A close from
    // another thread during the wait has already released the event.
    if (timer_state.hTimerEvent.load() == event) {
        platform::reset_event(event);
    }
    const int64_t reading = platform::read_counter();
    timer_state.liPrevTick = timer_state.liLastTick;
    timer_state.liLastTick = reading;
    return counts_to_seconds(timer_state.liLastTick - timer_state.liPrevTick);
}
