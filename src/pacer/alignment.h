// A grid on the system clock: tick k is due where the system clock reads
// phase + k * period since 1970, for every pacer on every machine whose clock
// is synchronized. The wait still runs on the counter; the mapping between
// the two is measured at each wait, and a change that the counter's own rate
// cannot explain is a step of the clock.
#ifndef VARNEX_PACER_ALIGNMENT_H
#define VARNEX_PACER_ALIGNMENT_H

#include <cstdint>

#include "pacer/grid.h"
#include "pacer/steering.h"
#include "platform/clocks.h"

// The counter and the system clock at one instant.
struct ClockMapping {
    int64_t counter;             // the middle of the two counter readings around the clock's
    int64_t system_ns;
    int64_t uncertainty_counts;  // the two counter readings' distance
    int64_t latest_counts;       // the last counter reading taken
};

struct Alignment {
    bool on = false;
    platform::SystemClock clock = platform::SystemClock::kUtc;
    bool counter_slews = true;  // platform::counter_slews_with_system_clock()
    int64_t phase_ns = 0;
    int64_t tight_counts = 0;   // a reading this close needs no other
    ClockMapping mapping{};
    // The counter when the clock was last found where the mapping puts it:
    // a step came after this reading.
    int64_t verified_counts = 0;
};

// The counter counts the system clock's time since 1970 in at most this many
// counts, so that the grid keeps as much room again for the readings to come.
constexpr int64_t kMaxAlignedCounts = int64_t{1} << 62;

// The tightest of up to three readings of the counter, the clock and the
// counter again, the first of them starting at `first_counts`.
ClockMapping read_mapping(const Alignment& alignment, int64_t first_counts);
// The clock's time since 1970 less the phase, in counts, clamped to
// +/- kMaxAlignedCounts.
int64_t aligned_counts(const ClockMapping& mapping, int64_t phase_ns, int64_t frequency);
// Whether the clock's time lies within what the clamp leaves exact: a pacer
// is created, and its grid placed, only on such a reading.
bool within_aligned_range(const ClockMapping& mapping, int64_t phase_ns, int64_t frequency);
// The start of `grid` that puts tick k where the mapping's clock reads
// phase + k * period.
void place_grid(Grid& grid, const Alignment& alignment);

// How a new mapping differs from the last: the clock's change that the
// counter did not see, and whether it is a step, beyond what the readings'
// uncertainty and (where the counter runs apart from the clock) a slew allow.
struct ClockChange {
    int64_t change_ns;
    int64_t size_ns;  // its magnitude
    bool step;
};
ClockChange compare_mappings(const Alignment& alignment, const ClockMapping& current, const Grid& grid);

// A look at the system clock from the counter's reading `*now`, which
// becomes the last reading taken: the mapping measured anew, and the change
// that places the grid by it. A step forward passes over the grid points up
// to the clock's new time at the step, the last reading that found the old
// mapping true, mapped with the new one: whatever the policy, they are
// missed. The points after it that the clock has passed by now are owed:
// returned late, never passed over. A step back needs nothing more: the tick
// after the last one returned comes when the clock is back at it. A clock
// outside the range a pacer can be created on moves nothing.
// `at_call`: the look as a wait is called. A host that comes when the old
// mapping has more than its next tick due is late by its own doing: nothing
// is owed to it, and the missed-tick policy takes the ticks due, as for any
// late host, rather than each tick it was away for coming back late.
enum class ClockCheck { kSteady, kStepped, kOutOfRange };
struct ClockLook {
    ClockCheck check;
    Change change;
};
ClockLook follow_system_clock(Alignment& alignment, const Grid& grid, const WaiterState& waiter, int64_t* now,
                              bool at_call);

#endif
