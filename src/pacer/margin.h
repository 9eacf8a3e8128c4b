// How long before a deadline a hybrid wait stops sleeping and starts to spin:
// learned from how late the sleeps actually wake.
//
// The margin is the p99.5 of the oversleeps (the wake-up minus the requested
// wake-up) over the latest one to two windows of kMarginWindowTicks ticks: of
// n samples, the r-th largest with r = ceil(n / 200), exactly; but at most
// twice the (r+1)-th, so that one stall never moves it. With a lateness
// budget B, it is the p99 (r = ceil(n / 100), as exactly) less B, and may be
// 0: a host that accepts a p99 lateness of B spins only for what the sleeps'
// p99 oversleep exceeds it by. Each window keeps its kLargestKept largest
// samples, which hold the rank of the p99 of two full windows and the next
// one: the quantile is exact, with no error in ranks. Windows turn over
// with every tick, sleeping or not: a quieter machine is learned within two
// windows, and a pacer that spins because its margin reached the period
// forgets that margin and sleeps again to measure anew. A sleep that
// overshoots the margin widens it at once towards that oversleep (the
// boost): at most to twice the margin it slept with and to half the period,
// so that the sleeping that learning needs goes on; the boost halves every
// kBoostHalfLifeTicks ticks. Until kWarmUpSamples samples, the margin is at
// least the warm-up margin: the smaller of 1 ms and half the period. With a
// budget, each of these stands for an oversleep and the budget is taken from
// it, and there is no boost: the host accepts the late ticks of its p99,
// which the window's quantile follows.
//
// A burst of stalls can still lift the margin past the period, and a pacer
// that only spins learns nothing. So while it spins for its margin, it
// probes: one tick in kFirstProbeTicks sleeps for half the time left. A probe
// that wakes within half the margin shows the machine has calmed: the
// oversleeps learned so far are forgotten, and learning starts over. One that
// does not doubles the ticks to the next probe, up to kLastProbeTicks, so a
// machine whose sleeps are always too late loses few ticks to probes.
#ifndef VARNEX_PACER_MARGIN_H
#define VARNEX_PACER_MARGIN_H

#include <cstdint>

#include "pacer/margin_rule.h"

constexpr uint32_t kBoostHalfLifeTicks = 8;
// Enough largest samples per window for the p99's rank of two full windows
// (11 of 1,024) and the next.
constexpr int kLargestKept = 12;
constexpr uint32_t kFirstProbeTicks = 32;
constexpr uint32_t kLastProbeTicks = 1024;

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
    int64_t warm_up_counts;
    int64_t period_counts;
    uint32_t ticks_spun;
    uint32_t probe_ticks;
    int64_t budget_counts;  // 0: none, the p99.5 and the floor
};

void init_margin(MarginEstimator& estimator, int64_t floor_counts, int64_t warm_up_counts, int64_t period_counts);
// Once per tick: ages the windows and the boost.
void count_margin_tick(MarginEstimator& estimator);
// A sleep that was asked to wake at one reading woke `oversleep_counts`
// later; `margin_counts` is the margin it slept with.
void learn_oversleep(MarginEstimator& estimator, int64_t oversleep_counts, int64_t margin_counts);
int64_t margin_counts(const MarginEstimator& estimator);
// The p99 of the oversleeps, at least the floor and, in the warm-up, the
// warm-up margin: how late a wake-up may be and still be the system's.
int64_t oversleep_p99_counts(const MarginEstimator& estimator);
// For a tick that spins because the margin reached the period: whether it
// sleeps half the time left instead, as a probe.
bool probe_now(MarginEstimator& estimator);
void learn_probe(MarginEstimator& estimator, int64_t oversleep_counts, int64_t margin_counts);

#endif
