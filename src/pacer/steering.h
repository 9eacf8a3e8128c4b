// What steers a grid, and what it may change. Steering (a reference, a step
// of the system clock) is a pure function of its own state, the grid, the
// waiter and a reading, as the missed-tick policy is: it returns a Change,
// and the wait applies every change in one place, as it does the taking of
// each tick. After create, nothing else writes the grid or the waiter.
#ifndef VARNEX_PACER_STEERING_H
#define VARNEX_PACER_STEERING_H

#include <cstdint>

#include "pacer/grid.h"

// The waiting thread's own, from one wait to the next.
struct WaiterState {
    uint64_t next_index = 0;
    uint32_t burst_returns = 0;
    int64_t last_return_counts = 0;
    // Ticks passed over before the tick that the next return gives was
    // chosen: by a wait that was not due, or by a step of the clock; and
    // whether the missed-tick policy passed over any of them for a late host.
    uint64_t missed_carried = 0;
    bool host_passed_over = false;
    // Ticks below this index that a step of the system clock made due while
    // the pacer was not looking: returned late, never passed over.
    uint64_t owed_end = 0;
};

struct Change {
    // The grid's start and its counts per rate_den.
    bool moves_grid = false;
    int64_t start_counts = 0;
    uint64_t counts_per_den = 0;
    // The tick the next return gives, and the ticks passed over on the way
    // there: missed, and carried to that return.
    bool moves_next = false;
    uint64_t next_index = 0;
    uint64_t missed = 0;
    // A re-base: the next index is set outright, onto another grid; nothing
    // before it was the host's to miss.
    bool rebase = false;
    bool burst_reset = false;
    // Ticks below this are owed (the end only ever rises).
    uint64_t owed_end = 0;
    // A step of the system clock, for the statistics.
    bool clock_stepped = false;
    int64_t clock_step_ns = 0;
    // The wait's own: a tick returned at `return_counts`, which leaves
    // nothing carried; the burst count that the policy's choice leaves; and
    // a choice that passed over ticks for a late host, which then holds.
    bool takes_tick = false;
    int64_t return_counts = 0;
    // A reset of a clock the host drives: the previous return counts from
    // the reset's reading, so that the next interval is not negative.
    bool moves_last_return = false;
    int64_t last_return_counts = 0;
    bool sets_burst = false;
    uint32_t burst_returns = 0;
    bool host_passed_over = false;
};

inline Change grid_moved_to(const Grid& placed)
{
    Change change;
    change.moves_grid = true;
    change.start_counts = placed.start_counts;
    change.counts_per_den = placed.counts_per_den;
    return change;
}

// The grid and the next index as they are once `change` is applied.
inline Grid grid_after(const Grid& grid, const Change& change)
{
    Grid after = grid;
    if (change.moves_grid) {
        after.start_counts = change.start_counts;
        after.counts_per_den = change.counts_per_den;
    }
    return after;
}

// A reset of a clock the host drives to `reset_to`: the next tick is due at
// `due_counts`, its index going on; nothing is missed or repeated, and no
// burst runs on.
inline Change reset_onto(const Grid& grid, const WaiterState& waiter, int64_t reset_to, int64_t due_counts)
{
    Change change;
    change.moves_grid = true;
    change.counts_per_den = grid.counts_per_den;
    change.start_counts = due_counts - offset_counts(grid, waiter.next_index);
    change.rebase = true;
    change.burst_reset = true;
    change.clock_stepped = true;
    const int64_t step = waiter.last_return_counts - reset_to;
    change.clock_step_ns = step < 0 ? -step : step;
    change.moves_last_return = true;
    change.last_return_counts = reset_to;
    return change;
}

inline uint64_t next_after(const WaiterState& waiter, const Change& change)
{
    return change.moves_next ? change.next_index : waiter.next_index;
}

// Passes over the grid points at or before `latest` that lie at or after the
// next tick: they are missed, and the next return gives the one after.
inline void pass_over_to(Change& change, const WaiterState& waiter, int64_t latest)
{
    if (latest >= static_cast<int64_t>(waiter.next_index)) {
        change.moves_next = true;
        change.next_index = static_cast<uint64_t>(latest) + 1;
        change.missed = change.next_index - waiter.next_index;
        change.burst_reset = true;
    }
}

#endif
