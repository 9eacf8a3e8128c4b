#include "pacer/grid.h"

#include <algorithm>

#include "varnex/pacer.h"

int64_t offset_counts(const Grid& grid, uint64_t k)
{
    return saturated(tick_offset_counts(k, grid.counts_per_den, grid.rate_num));
}

int64_t deadline_counts(const Grid& grid, uint64_t k)
{
    const int64_t offset = offset_counts(grid, k);
    return offset > std::numeric_limits<int64_t>::max() - grid.start_counts ? std::numeric_limits<int64_t>::max()
                                                                           : grid.start_counts + offset;
}

int64_t latest_due_index(const Grid& grid, int64_t now)
{
    if (now < grid.start_counts) {
        return -1;
    }
    // A double estimate, set exact against the integer deadlines.
    const double elapsed = static_cast<double>(now - grid.start_counts);
    auto index = static_cast<int64_t>(elapsed * grid.rate_num / static_cast<double>(grid.counts_per_den));
    index = std::max<int64_t>(index, 0);
    while (index > 0 && deadline_counts(grid, static_cast<uint64_t>(index)) > now) {
        --index;
    }
    while (deadline_counts(grid, static_cast<uint64_t>(index) + 1) <= now) {
        ++index;
    }
    return index;
}

int64_t ns_to_counts(int64_t ns, int64_t frequency)
{
    return saturated(divide(multiply(static_cast<uint64_t>(ns), static_cast<uint64_t>(frequency)),
                            platform::kNanosecondsPerSecond));
}

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
Target choose_target(const Grid& grid, const MissedPolicy& missed, uint64_t next_index, uint32_t burst_returns,
                     int64_t now)
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
