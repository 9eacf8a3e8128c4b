// The clock that a pacer's waits run on: every reading of the time, every
// block until a reading, every arming of the readiness handle and every
// wake-up for a cancel goes through it. It is the high-resolution counter;
// inline, so that a spin reads it with no call in between.
#ifndef VARNEX_PACER_CLOCK_H
#define VARNEX_PACER_CLOCK_H

#include <cstdint>

#include "platform/counter.h"
#include "platform/timers.h"

struct PacerClock {
    platform::SleepTimer* sleep_timer = nullptr;  // for the blocking sleeps
};

inline int64_t read_clock(const PacerClock& /*clock*/)
{
    return platform::read_counter();
}

// Blocks until the clock reads `until_counts`, a signal, or a refusal.
inline platform::SleepResult block_until(const PacerClock& clock, int64_t until_counts)
{
    return platform::sleep_until(clock.sleep_timer, until_counts);
}

inline void arm_handle(const PacerClock& /*clock*/, platform::ReadyTimer* ready, int64_t wake_counts)
{
    platform::arm_ready_timer(ready, wake_counts);
}

// A loop blocked on the handle wakes now.
inline void wake_handle(const PacerClock& clock, platform::ReadyTimer* ready)
{
    platform::arm_ready_timer(ready, read_clock(clock));
}

#endif
