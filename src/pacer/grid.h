// The pacer's grid of deadlines: tick k is due at
// start + floor(k * frequency * rate_den / rate_num) counts, exact for every k
// in 128-bit arithmetic, and saturated at the largest reading.
#ifndef VARNEX_PACER_GRID_H
#define VARNEX_PACER_GRID_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "pacer/wide_math.h"
#include "platform/counter.h"
#include "varnex/pacer.h"

// The grid's arithmetic keeps frequency * rate_den within 64 bits, and the
// frequency a 32-bit divisor.
constexpr int64_t kMaxFrequency = 0xFFFFFFFF;
// Up to here a double's estimate of a tick index is off by under one.
constexpr int64_t kPreciseIndex = int64_t{1} << 40;

struct Grid {
    int64_t frequency;
    uint32_t rate_num;
    uint32_t rate_den;
    uint64_t counts_per_den;  // frequency * rate_den
    int64_t start_counts;     // tick 0's deadline
};

inline int64_t saturated(const U128& value)
{
    constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    return value.high != 0 || value.low > kMax ? std::numeric_limits<int64_t>::max()
                                               : static_cast<int64_t>(value.low);
}

// Inline, as the rest of the grid: each wait computes its target with them.
// Tick k's distance from tick 0.
inline int64_t offset_counts(const Grid& grid, uint64_t k)
{
    return saturated(tick_offset_counts(k, grid.counts_per_den, grid.rate_num));
}

inline int64_t deadline_counts(const Grid& grid, uint64_t k)
{
    // A grid aligned to the system clock starts before 1970, far below 0.
    const int64_t offset = offset_counts(grid, k);
    return grid.start_counts > 0 && offset > std::numeric_limits<int64_t>::max() - grid.start_counts
               ? std::numeric_limits<int64_t>::max()
               : grid.start_counts + offset;
}

// The last tick whose deadline is at or before `now`; -1 before tick 0's.
inline int64_t latest_due_index(const Grid& grid, int64_t now)
{
    if (now < grid.start_counts) {
        return -1;
    }
    // A double estimate, set exact against the integer deadlines.
    const double elapsed = static_cast<double>(now - grid.start_counts);
    const double ticks_per_count = grid.rate_num / static_cast<double>(grid.counts_per_den);
    auto index = std::max<int64_t>(static_cast<int64_t>(elapsed * ticks_per_count), 0);
    // Past 2^40 ticks (an aligned grid's count from 1970 at a high rate) the
    // estimate is off by many: a second one, on what is left, brings it in.
    if (index > kPreciseIndex) {
        const double left = static_cast<double>(now - deadline_counts(grid, static_cast<uint64_t>(index)));
        index = std::max<int64_t>(index + static_cast<int64_t>(std::floor(left * ticks_per_count)), 0);
    }
    while (index > 0 && deadline_counts(grid, static_cast<uint64_t>(index)) > now) {
        --index;
    }
    while (deadline_counts(grid, static_cast<uint64_t>(index) + 1) <= now) {
        ++index;
    }
    return index;
}


// Inline: the wait converts its lateness after the reading that ends it.
inline int64_t counts_to_ns(int64_t counts, int64_t frequency)
{
    if (frequency == platform::kNanosecondsPerSecond) {
        return counts;
    }
    const bool negative = counts < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(counts) : static_cast<uint64_t>(counts);
    const U128 ns = multiply(magnitude, platform::kNanosecondsPerSecond);
    const int64_t result = saturated(divide(ns, static_cast<uint32_t>(frequency)));
    return negative ? -result : result;
}

inline int64_t counts_to_ns(const Grid& grid, int64_t counts)
{
    return counts_to_ns(counts, grid.frequency);
}

int64_t ns_to_counts(int64_t ns, int64_t frequency);

// What the host asked to happen to ticks whose deadlines passed unseen.
struct MissedPolicy {
    uint32_t policy;  // VARNEX_MISSED_*
    uint32_t burst_cap;
};

// The tick a wait returns, and what the wait that follows it inherits.
struct Target {
    uint64_t index;
    uint64_t missed;
    uint32_t burst_returns;  // late ticks returned in a row, for the burst cap
    bool reanchor;           // the grid moves so that `index` is due at the return
};

// Next is the tick after the one last returned, L the latest already due at
// `now` (the host was late by L - next + 1 ticks or more):
//
//   deadlines  |  next  | next+1 | ...  |   L    | L+1
//   now                                    ^
//   skip       returns L+1 at its deadline; missed = L - next + 1
//   burst      returns next, next+1, ... at once, up to burst_cap in a row,
//              then skips as above
//   delay      returns next now, and the grid moves with it; missed = L - next
//
// A host in time (L <= next) gets next, and a burst starts counting anew.
inline Target choose_target(const Grid& grid, const MissedPolicy& missed, uint64_t next_index,
                            uint32_t burst_returns, int64_t now)
{
    const int64_t latest = latest_due_index(grid, now);
    if (latest <= static_cast<int64_t>(next_index)) {
        return {next_index, 0, 0, false};
    }
    const auto passed = static_cast<uint64_t>(latest) - next_index;
    switch (missed.policy) {
    case VARNEX_MISSED_BURST:
        if (burst_returns < missed.burst_cap) {
            return {next_index, 0, burst_returns + 1, false};
        }
        break;
    case VARNEX_MISSED_DELAY:
        return {next_index, passed, burst_returns, true};
    default:
        break;
    }
    return {static_cast<uint64_t>(latest) + 1, passed + 1, 0, false};
}

#endif
