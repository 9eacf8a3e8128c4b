#ifndef VARNEX_PACER_WAITS_H
#define VARNEX_PACER_WAITS_H

#include "pacer/pacer_state.h"

// One wait to the tick the missed-tick policy chooses, by the pacer's mode
// or, once the host holds the readiness handle, on it, with the controls the
// host set held for the whole wait; `tick` may be null.
// Everything after the reading that ends the wait is in this file's one
// inline function, so that the host is kept waiting no longer than the
// arithmetic of its tick.
int wait_for_tick(varnex_pacer& pacer, varnex_tick* tick);
// Arms the readiness handle for the wake-up of the tick that the next wait
// will return, or with `retry` for a wait to try again soon; for now if a
// cancel is pending.
void arm_for_next_wait(varnex_pacer& pacer, bool retry = false);

#endif
