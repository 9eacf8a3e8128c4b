#include "pacer/reference.h"

#include <algorithm>
#include <cmath>

#include "pacer/atomics.h"
#include "platform/counter.h"

namespace {

constexpr uint32_t kDefaultSlewPpm = 500;
constexpr uint32_t kMaxSlewPpm = 100000;
constexpr int64_t kDefaultStepThresholdNs = 2000000;
constexpr int64_t kDefaultRebaseThresholdNs = 100000000;
constexpr int64_t kDefaultHoldoverNs = 1000000000;
constexpr double kPerMillion = 1e-6;
constexpr auto kNsPerSecond = static_cast<double>(platform::kNanosecondsPerSecond);
// Locked: the grid within this of the reference, or within kLockSigmas of
// what the estimate itself knows of the offset, whichever is larger.
constexpr double kLockFloorNs = 20000.0;
constexpr double kLockSigmas = 3.0;

// A reference that leapt further ahead than the clock has run puts the
// tick's instant before the clock's 0.
int64_t signed_counts(int64_t ns, int64_t frequency)
{
    return ns < 0 ? -ns_to_counts(-ns, frequency) : ns_to_counts(ns, frequency);
}

int64_t reference_ns_of(const Following& following, uint64_t k)
{
    return deadline_counts(following.reference_grid, k);
}

// The reference's period from tick k to k + 1, in the counter's ns, by the
// estimated rate.
double estimated_period_ns(const Following& following, uint64_t k)
{
    const auto period_ns = static_cast<double>(reference_ns_of(following, k + 1) - reference_ns_of(following, k));
    return period_ns / (1.0 + following.filter.rate);
}

// Tick k is due at `deadline`, and the ticks after it `period_counts` apart,
// in the grid's own exact arithmetic: its counts per rate_den are the period
// times rate_num.
void place(Grid& grid, uint64_t k, int64_t deadline, double period_counts)
{
    constexpr double kMaxCountsPerDen = 1.8e19;
    const double per_den = std::round(period_counts * grid.rate_num);
    grid.counts_per_den = static_cast<uint64_t>(std::clamp(per_den, static_cast<double>(grid.rate_num), kMaxCountsPerDen));
    grid.start_counts = deadline - offset_counts(grid, k);
}

double counts_per_ns(const Grid& grid)
{
    return static_cast<double>(grid.frequency) / kNsPerSecond;
}

// Onto the reference: the tick the next return gives is the first grid point
// still ahead, whatever its index; nothing is missed.
Change rebase(Following& following, const Grid& grid, int64_t now, int64_t now_ns)
{
    const int64_t reference_now = reference_at(following.filter, now_ns);
    auto k = static_cast<uint64_t>(latest_due_index(following.reference_grid, reference_now) + 1);
    int64_t due_ns = local_at(following.filter, reference_ns_of(following, k));
    // The estimate's rounding alone can put it at or before now.
    while (due_ns <= now_ns) {
        due_ns = local_at(following.filter, reference_ns_of(following, ++k));
    }
    Grid placed = grid;
    place(placed, k, std::max(ns_to_counts(due_ns, grid.frequency), now + 1),
          estimated_period_ns(following, k) * counts_per_ns(grid));
    Change change = grid_moved_to(placed);
    change.moves_next = true;
    change.next_index = k;
    change.rebase = true;
    change.burst_reset = true;
    following.rebased = true;
    add_relaxed(following.published.rebases, uint32_t{1});
    return change;
}

// The grid to where the estimate puts the tick the next return gives. A step
// ahead passes over the grid points at or before now: they are missed, and no
// index repeats; a step back holds that tick until its new instant.
Change step(Following& following, const Grid& grid, const WaiterState& waiter, int64_t now, int64_t due_ns,
            bool ahead)
{
    Grid placed = grid;
    place(placed, waiter.next_index, signed_counts(due_ns, grid.frequency),
          estimated_period_ns(following, waiter.next_index) * counts_per_ns(grid));
    Change change = grid_moved_to(placed);
    if (ahead) {
        pass_over_to(change, waiter, latest_due_index(placed, now));
    }
    add_relaxed(following.published.steps, uint64_t{1});
    return change;
}

// The period from the tick the next return gives to the one after: the
// estimated period, less the phase error, within the slew limit.
Change slew(const Following& following, const Grid& grid, const WaiterState& waiter, int64_t deadline,
            int64_t error_ns)
{
    const uint64_t next = waiter.next_index;
    const double period_ns = estimated_period_ns(following, next);
    const double limit_ns = period_ns * following.options.slew;
    const double planned_ns = period_ns - std::clamp(static_cast<double>(error_ns), -limit_ns, limit_ns);
    Grid placed = grid;
    place(placed, next, deadline, planned_ns * counts_per_ns(grid));
    return grid_moved_to(placed);
}

}  // namespace

void take_observations(Following& following, const PacerClock& clock)
{
    const uint64_t written = observations_written(following.queue);
    if (written == following.queue.read) {
        return;
    }
    // Read after the observations were published: an honest stamp is not
    // later. One that is (a clock of the host's own, or a wrong unit) would
    // put the reference's next instant as far ahead, and the wait would sleep
    // until then: it is rejected as an outlier.
    const int64_t latest_ns = counts_to_ns(read_clock(clock), following.frequency);
    uint64_t taken = 0;
    uint64_t outliers = 0;
    const uint64_t lost = drain_observations(following.queue, written, [&](int64_t reference_ns, int64_t local_ns) {
        ++taken;
        if (local_ns > latest_ns) {
            ++outliers;
            return;
        }
        // An outlier is no sign of the reference: its stamp, perhaps of
        // another clock, neither ends nor postpones a holdover.
        if (observe_reference(following.filter, reference_ns, local_ns, following.options.rebase_threshold_ns) ==
            Observed::kOutlier) {
            ++outliers;
        } else {
            following.last_observed_ns = std::max(following.last_observed_ns, local_ns);
        }
    });
    ReferenceCounters& published = following.published;
    add_relaxed(published.dropped, lost);
    add_relaxed(published.outliers, outliers);
    add_relaxed(published.observations, taken);
}

bool reference_options_of(const varnex_reference_options& given, ReferenceOptions* options)
{
    if (given.slew_ppm > kMaxSlewPpm || given.step_threshold_ns < 0 || given.rebase_threshold_ns < 0 ||
        given.holdover_ns < 0) {
        return false;
    }
    const uint32_t slew_ppm = given.slew_ppm == 0 ? kDefaultSlewPpm : given.slew_ppm;
    const int64_t step_ns = given.step_threshold_ns == 0 ? kDefaultStepThresholdNs : given.step_threshold_ns;
    const int64_t rebase_ns = given.rebase_threshold_ns == 0 ? std::max(kDefaultRebaseThresholdNs, step_ns)
                                                             : given.rebase_threshold_ns;
    if (rebase_ns < step_ns) {
        return false;
    }
    *options = {slew_ppm * kPerMillion, step_ns, rebase_ns,
                given.holdover_ns == 0 ? kDefaultHoldoverNs : given.holdover_ns};
    return true;
}

void start_following(Following& following, const Grid& grid, int64_t phase_ns)
{
    following.frequency = grid.frequency;
    reference_options_of(varnex_reference_options{sizeof(varnex_reference_options), 0, 0, 0, 0}, &following.options);
    following.reference_grid = {platform::kNanosecondsPerSecond, grid.rate_num, grid.rate_den,
                                static_cast<uint64_t>(platform::kNanosecondsPerSecond) * grid.rate_den, phase_ns};
}

Change follow_reference(Following& following, const Grid& grid, const WaiterState& waiter, int64_t now)
{
    if (!following.filter.started) {
        return {};
    }
    const int64_t now_ns = counts_to_ns(grid, now);
    Change change;
    if (!following.rebased) {
        change = rebase(following, grid, now, now_ns);
    } else {
        const int64_t deadline = deadline_counts(grid, waiter.next_index);
        const int64_t due_ns = local_at(following.filter, reference_ns_of(following, waiter.next_index));
        const int64_t error_ns = counts_to_ns(grid, deadline) - due_ns;
        if (-error_ns > following.options.rebase_threshold_ns) {
            change = rebase(following, grid, now, now_ns);
        } else if (error_ns > following.options.step_threshold_ns || -error_ns > following.options.step_threshold_ns) {
            change = step(following, grid, waiter, now, due_ns, error_ns > 0);
        } else {
            change = slew(following, grid, waiter, deadline, error_ns);
        }
    }
    const Grid steered = grid_after(grid, change);
    const uint64_t next = next_after(waiter, change);
    const int64_t error_ns = counts_to_ns(steered, deadline_counts(steered, next)) -
                             local_at(following.filter, reference_ns_of(following, next));
    const double lock_ns = std::max(kLockFloorNs, kLockSigmas * std::sqrt(offset_variance_ns2(following.filter)));
    uint32_t state = filter_settled(following.filter) && !in_rejection_run(following.filter) &&
                             std::fabs(static_cast<double>(error_ns)) <= lock_ns
                         ? VARNEX_REFERENCE_LOCKED
                         : VARNEX_REFERENCE_ACQUIRING;
    if (now_ns - following.last_observed_ns > following.options.holdover_ns) {
        state = VARNEX_REFERENCE_HOLDOVER;
    }
    ReferenceCounters& published = following.published;
    published.state.store(state, kRelaxed);
    published.phase_error_ns.store(error_ns, kRelaxed);
    published.rate_offset_ppb.store(std::llround(following.filter.rate * kNsPerSecond), kRelaxed);
    published.jitter_ns.store(std::llround(std::sqrt(observation_noise_ns2(following.filter))), kRelaxed);
    return change;
}

void fill_reference_stats(const Following& following, varnex_pacer_stats& stats)
{
    const ReferenceCounters& published = following.published;
    stats.reference_state = published.state.load(kRelaxed);
    stats.reference_rebases = published.rebases.load(kRelaxed);
    stats.reference_phase_error_ns = published.phase_error_ns.load(kRelaxed);
    stats.reference_rate_offset_ppb = published.rate_offset_ppb.load(kRelaxed);
    stats.reference_jitter_ns = published.jitter_ns.load(kRelaxed);
    stats.reference_steps = published.steps.load(kRelaxed);
    stats.reference_observations = published.observations.load(kRelaxed);
    stats.reference_dropped = published.dropped.load(kRelaxed);
    stats.reference_outliers = published.outliers.load(kRelaxed);
}
