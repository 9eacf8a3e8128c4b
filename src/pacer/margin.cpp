#include "pacer/margin.h"

#include <algorithm>

namespace {

void clear(OversleepWindow& window)
{
    window = OversleepWindow{};
}

void keep_if_among_largest(OversleepWindow& window, int64_t value)
{
    ++window.samples;
    int64_t* const largest = window.largest_counts;
    if (value <= largest[kLargestKept - 1]) {
        return;
    }
    int slot = kLargestKept - 1;
    for (; slot > 0 && largest[slot - 1] < value; --slot) {
        largest[slot] = largest[slot - 1];
    }
    largest[slot] = value;
}

}  // namespace

void init_margin(MarginEstimator& estimator, int64_t floor_counts, int64_t warm_up_counts, int64_t period_counts)
{
    estimator = MarginEstimator{};
    estimator.floor_counts = floor_counts;
    estimator.half_period_counts = period_counts / 2;
    estimator.warm_up_counts = std::min(warm_up_counts, estimator.half_period_counts);
    estimator.period_counts = period_counts;
    estimator.probe_ticks = kFirstProbeTicks;
}

void count_margin_tick(MarginEstimator& estimator)
{
    if (++estimator.ticks_in_window == kMarginWindowTicks) {
        estimator.ticks_in_window = 0;
        estimator.current ^= 1;
        clear(estimator.windows[estimator.current]);
    }
    if (estimator.boost_counts != 0 && ++estimator.ticks_since_boost == kBoostHalfLifeTicks) {
        estimator.ticks_since_boost = 0;
        estimator.boost_counts /= 2;
    }
}

void learn_oversleep(MarginEstimator& estimator, int64_t oversleep_counts, int64_t margin_counts)
{
    estimator.ticks_spun = 0;
    const int64_t oversleep = std::max<int64_t>(oversleep_counts, 0);
    keep_if_among_largest(estimator.windows[estimator.current], oversleep);
    // A host with a budget accepts late ticks as long as its p99 holds, and
    // the window's p99 follows every one of them: widening at once on each
    // would spin for the tail it accepts.
    if (estimator.budget_counts == 0 && oversleep > margin_counts) {
        estimator.boost_counts = std::min({oversleep, 2 * margin_counts, estimator.half_period_counts});
        estimator.ticks_since_boost = 0;
    }
}

namespace {

// The rank-th largest of both windows' samples, r = ceil(n / per_rank), but at
// most twice the next largest, so that one stall never moves it; at least the
// warm-up margin until kWarmUpSamples samples.
int64_t oversleep_quantile(const MarginEstimator& estimator, uint32_t per_rank)
{
    const OversleepWindow& now = estimator.windows[estimator.current];
    const OversleepWindow& before = estimator.windows[estimator.current ^ 1];
    const uint32_t samples = now.samples + before.samples;
    const auto rank = static_cast<int>((samples + per_rank - 1) / per_rank);
    int from_now = 0;
    int from_before = 0;
    int64_t largest[2] = {0, 0};
    for (int taken = 0; taken <= rank; ++taken) {
        const bool take_now = now.largest_counts[from_now] >= before.largest_counts[from_before];
        largest[0] = largest[1];
        largest[1] = take_now ? now.largest_counts[from_now++] : before.largest_counts[from_before++];
    }
    const int64_t quantile = std::min(largest[0], 2 * largest[1]);
    return std::max(quantile, samples < kWarmUpSamples ? estimator.warm_up_counts : 0);
}

}  // namespace

int64_t margin_counts(const MarginEstimator& estimator)
{
    const int64_t oversleep = std::max(
        oversleep_quantile(estimator, estimator.budget_counts == 0 ? kSamplesPerRankP995 : kSamplesPerRankP99),
        estimator.boost_counts);
    if (estimator.budget_counts != 0) {
        return std::max<int64_t>(oversleep - estimator.budget_counts, 0);
    }
    return std::max(oversleep, estimator.floor_counts);
}

int64_t oversleep_p99_counts(const MarginEstimator& estimator)
{
    return std::max(oversleep_quantile(estimator, kSamplesPerRankP99), estimator.floor_counts);
}

bool probe_now(MarginEstimator& estimator)
{
    if (++estimator.ticks_spun < estimator.probe_ticks) {
        return false;
    }
    estimator.ticks_spun = 0;
    return true;
}

void learn_probe(MarginEstimator& estimator, int64_t oversleep_counts, int64_t margin_counts)
{
    if (2 * oversleep_counts < margin_counts) {
        const int64_t budget = estimator.budget_counts;
        init_margin(estimator, estimator.floor_counts, estimator.warm_up_counts, estimator.period_counts);
        estimator.budget_counts = budget;
    } else {
        estimator.probe_ticks = std::min(2 * estimator.probe_ticks, kLastProbeTicks);
    }
    learn_oversleep(estimator, oversleep_counts, margin_counts);
}
