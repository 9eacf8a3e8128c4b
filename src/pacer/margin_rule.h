// The margin rule's figures, which varnex-doctor predicts by as well: margin.h
// says how the pacer learns its margin from them.
#ifndef VARNEX_PACER_MARGIN_RULE_H
#define VARNEX_PACER_MARGIN_RULE_H

#include <cstdint>

constexpr uint32_t kMarginWindowTicks = 512;
constexpr uint32_t kWarmUpSamples = 16;
constexpr int64_t kWarmUpMarginNs = 1000000;
// The least learned margin: a wake-up is never this punctual.
constexpr int64_t kMarginFloorNs = 10000;
// Of n oversleeps, the quantile is the r-th largest, r = ceil(n / per rank):
// the p99.5 with no lateness budget, the p99 with one.
constexpr uint32_t kSamplesPerRankP995 = 200;
constexpr uint32_t kSamplesPerRankP99 = 100;

#endif
