// How long before a deadline a hybrid wait stops sleeping and starts to spin:
// learned from how late the sleeps actually wake.
//
// The margin is the p99.5 of the oversleeps (the wake-up minus the requested
// wake-up) over the latest one to two windows of kMarginWindowTicks ticks,
// not counting the largest: of n samples, the (ceil(n / 200) + 1)-th largest,
// exactly. So one stall never moves it. Windows turn over with every tick,
// sleeping or not: a quieter machine is learned within two windows, and a
// pacer that spins because its margin reached the period forgets that margin
// and sleeps again to measure anew. A sleep that overshoots the margin widens
// it at once to that oversleep (the boost), which halves every
// kBoostHalfLifeTicks ticks and never passes half the period, so that the
// sleeping that learning needs goes on. Until kWarmUpSamples samples, the
// margin is at least half the period.
#ifndef VARNEX_PACER_MARGIN_H
#define VARNEX_PACER_MARGIN_H

#include <cstdint>

constexpr uint32_t kMarginWindowTicks = 512;
constexpr uint32_t kBoostHalfLifeTicks = 64;
constexpr uint32_t kWarmUpSamples = 16;
// Enough largest samples per window for the rank of two full windows.
constexpr int kLargestKept = 7;

struct OversleepWindow {
    int64_t largest_counts[kLargestKept];  // descending; the rest are 0
    uint32_t samples;
};

struct MarginEstimator {
    OversleepWindow windows[2];
    int current;
    uint32_t ticks_in_window;
    int64_t boost_counts;
    uint32_t ticks_since_boost;
    int64_t floor_counts;
    int64_t half_period_counts;
};

void init_margin(MarginEstimator& estimator, int64_t floor_counts, int64_t period_counts);
// Once per tick: ages the windows and the boost.
void count_margin_tick(MarginEstimator& estimator);
// A sleep that was asked to wake at one reading woke `oversleep_counts`
// later; `margin_counts` is the margin it slept with.
void learn_oversleep(MarginEstimator& estimator, int64_t oversleep_counts, int64_t margin_counts);
int64_t margin_counts(const MarginEstimator& estimator);

#endif
