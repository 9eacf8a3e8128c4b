// A grid that follows a reference clock the host observes: tick k is due
// where the reference reads phase + k * period. The observations reach the
// waiting thread through a queue; as each wait begins, the estimate takes
// them and the grid is steered to it: slewed within the slew limit, stepped
// past the step threshold, re-based onto the reference at the first
// acquisition and after a step back past the re-base threshold.
//
// The grid stays the pacer's one Grid, so that every wait, the missed-tick
// policies and the readiness handle work on it unchanged: the steering moves
// its start and sets its counts_per_den to the period it plans, from the tick
// the next wait returns on. That tick's deadline never moves but at a step or
// a re-base: each interval is the period planned as the wait before it began.
#ifndef VARNEX_PACER_REFERENCE_H
#define VARNEX_PACER_REFERENCE_H

#include <atomic>
#include <cstdint>

#include "pacer/grid.h"
#include "pacer/observations.h"
#include "pacer/reference_filter.h"
#include "pacer/steering.h"
#include "pacer/clock.h"
#include "varnex/pacer.h"

struct ReferenceOptions {
    double slew;  // a fraction of the period
    int64_t step_threshold_ns;
    int64_t rebase_threshold_ns;
    int64_t holdover_ns;
};

// What the waiting thread publishes and any thread reads.
struct ReferenceCounters {
    std::atomic<uint32_t> state{VARNEX_REFERENCE_NONE};
    std::atomic<uint32_t> rebases{0};
    std::atomic<int64_t> phase_error_ns{0};
    std::atomic<int64_t> rate_offset_ppb{0};
    std::atomic<int64_t> jitter_ns{0};
    std::atomic<uint64_t> steps{0};
    std::atomic<uint64_t> observations{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> outliers{0};
};

struct Following {
    int64_t frequency = 0;  // the counter's, for the observing thread
    ReferenceOptions options{};
    // Where the reference reads tick k: phase + k * period, in its ns.
    Grid reference_grid{};
    ReferenceFilter filter{};
    bool rebased = false;
    int64_t last_observed_ns = 0;
    ReferenceCounters published{};
    ObservationQueue queue{};
};

// Valid options, each 0 replaced by its default; false for one out of range.
bool reference_options_of(const varnex_reference_options& given, ReferenceOptions* options);
void start_following(Following& following, const Grid& grid, int64_t phase_ns);

// As a wait begins: the observations queued go into the estimate, read
// against the clock after they were published.
void take_observations(Following& following, const PacerClock& clock);
// Then, at the clock's reading `now`: how the grid is steered to the estimate
// (and, at a step or a re-base, the tick the next return gives).
Change follow_reference(Following& following, const Grid& grid, const WaiterState& waiter, int64_t now);
void fill_reference_stats(const Following& following, varnex_pacer_stats& stats);

#endif
