#include "pacer/alignment.h"

#include <algorithm>

namespace {

constexpr int kMappingReadings = 3;
// Where the counter is slewed with the clock, their difference is exact
// within the readings' bracket; this much more stands for rounding.
constexpr int64_t kSlewedStepFloorNs = 1000;
// Where the counter runs apart from the clock, a slew moves their difference
// by a few hundred parts per million of the time since the last reading: a
// step moves it by more than a tenth of that time, and by this much at least.
constexpr int64_t kApartStepFloorNs = 100000;
constexpr int64_t kApartStepFraction = 10;

int64_t magnitude(int64_t value)
{
    return value < 0 ? -value : value;
}

}  // namespace

ClockMapping read_mapping(const Alignment& alignment, int64_t first_counts)
{
    ClockMapping best{};
    int64_t before = first_counts;
    for (int reading = 0; reading < kMappingReadings; ++reading) {
        const int64_t system_ns = platform::read_system_clock_ns(alignment.clock);
        const int64_t after = platform::read_counter();
        const int64_t width = after - before;
        if (reading == 0 || width < best.uncertainty_counts) {
            best = {before + width / 2, system_ns, width, after};
        }
        best.latest_counts = after;
        if (best.uncertainty_counts <= alignment.tight_counts) {
            break;
        }
        before = platform::read_counter();
    }
    return best;
}

int64_t aligned_counts(const ClockMapping& mapping, int64_t phase_ns, int64_t frequency)
{
    // The phase is below one period, so this cannot overflow.
    const int64_t since_ns = mapping.system_ns - phase_ns;
    const int64_t counts = ns_to_counts(since_ns < 0 ? -since_ns : since_ns, frequency);
    const int64_t clamped = std::min(counts, kMaxAlignedCounts);
    return since_ns < 0 ? -clamped : clamped;
}

bool within_aligned_range(const ClockMapping& mapping, int64_t phase_ns, int64_t frequency)
{
    const int64_t counts = aligned_counts(mapping, phase_ns, frequency);
    return counts < kMaxAlignedCounts && counts > -kMaxAlignedCounts;
}

void place_grid(Grid& grid, const Alignment& alignment)
{
    grid.start_counts =
        alignment.mapping.counter - aligned_counts(alignment.mapping, alignment.phase_ns, grid.frequency);
}

ClockChange compare_mappings(const Alignment& alignment, const ClockMapping& current, const Grid& grid)
{
    const ClockMapping& previous = alignment.mapping;
    const int64_t elapsed_ns = counts_to_ns(grid, current.counter - previous.counter);
    const int64_t change_ns = (current.system_ns - previous.system_ns) - elapsed_ns;
    const int64_t uncertain_ns = counts_to_ns(grid, previous.uncertainty_counts + current.uncertainty_counts);
    const int64_t allowed_ns =
        alignment.counter_slews ? kSlewedStepFloorNs
                                : std::max(kApartStepFloorNs, magnitude(elapsed_ns) / kApartStepFraction);
    return {change_ns, magnitude(change_ns), magnitude(change_ns) > uncertain_ns + allowed_ns};
}

ClockLook follow_system_clock(Alignment& alignment, const Grid& grid, const WaiterState& waiter, int64_t* now,
                              bool at_call)
{
    const ClockMapping current = read_mapping(alignment, *now);
    *now = current.latest_counts;
    if (!within_aligned_range(current, alignment.phase_ns, grid.frequency)) {
        return {ClockCheck::kOutOfRange, {}};
    }
    const bool host_behind =
        at_call && latest_due_index(grid, *now) > static_cast<int64_t>(waiter.next_index);
    const ClockChange clock_change = compare_mappings(alignment, current, grid);
    Change change;
    // A counter slewed with the clock keeps their difference: the tighter
    // reading of it is the better one. Apart, only a fresh one follows.
    if (clock_change.step || !alignment.counter_slews ||
        current.uncertainty_counts <= alignment.mapping.uncertainty_counts) {
        alignment.mapping = current;
        Grid placed = grid;
        place_grid(placed, alignment);
        change = grid_moved_to(placed);
    }
    const int64_t before_step = alignment.verified_counts;
    alignment.verified_counts = current.counter;
    if (!clock_change.step) {
        return {ClockCheck::kSteady, change};
    }
    change.clock_stepped = true;
    change.clock_step_ns = clock_change.size_ns;
    if (clock_change.change_ns > 0) {
        const Grid placed = grid_after(grid, change);
        pass_over_to(change, waiter, latest_due_index(placed, before_step));
        if (!host_behind) {
            change.owed_end = static_cast<uint64_t>(latest_due_index(placed, *now) + 1);
        }
    }
    return {ClockCheck::kStepped, change};
}
