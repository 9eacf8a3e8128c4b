// The clock that a pacer's waits run on: every reading of the time, every
// block until a reading, every arming of the readiness handle and every
// wake-up for a cancel goes through it. It is the high-resolution counter,
// read inline so that a spin reads it with no call in between; or a clock the
// host drives, in its nanoseconds.
#ifndef VARNEX_PACER_CLOCK_H
#define VARNEX_PACER_CLOCK_H

#include <cstdint>

#include "pacer/sim_clock.h"
#include "platform/counter.h"
#include "platform/timers.h"

struct PacerClock {
    platform::SleepTimer* sleep_timer = nullptr;  // for the blocking sleeps
    SimPlace sim{};                               // on a clock the host drives: the pacer's place there
};

inline bool on_sim_clock(const PacerClock& clock)
{
    return clock.sim.clock != nullptr;
}

inline int64_t read_clock(const PacerClock& clock)
{
    return on_sim_clock(clock) ? sim_now(*clock.sim.clock) : platform::read_counter();
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

// A loop blocked on the handle wakes now, and so does a wait blocked on a
// clock the host drives.
inline void wake_handle(PacerClock& clock, platform::ReadyTimer* ready)
{
    if (ready != nullptr) {
        platform::arm_ready_timer(ready, platform::read_counter());
    }
    if (on_sim_clock(clock)) {
        wake_sim_waiter(clock.sim);
    }
}

#endif
