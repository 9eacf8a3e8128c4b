// Lateness statistics that cost a few nanoseconds a tick and never grow: a
// log-linear histogram (64 buckets per power of two, so within 1/64 of the
// value, as HdrHistogram keeps two significant digits) and the first and the
// latest 1,000 samples for the drift.
#ifndef VARNEX_PACER_HISTOGRAM_H
#define VARNEX_PACER_HISTOGRAM_H

#include <atomic>
#include <cstdint>

constexpr int kSubBucketBits = 6;
constexpr int kSubBuckets = 1 << kSubBucketBits;
// Values from 2^40 ns (18 minutes) on share the top bucket; the maximum is kept exactly.
constexpr int kTopExponent = 40;
constexpr int kHistogramBuckets = kSubBuckets * (kTopExponent - kSubBucketBits + 2);
constexpr int kDriftWindow = 1000;

// One thread records, any thread reads: every field is an atomic, written with
// plain relaxed stores (no locked instruction on the waiting thread). A read
// during a record may mix two consecutive ticks.
struct LatenessStats {
    std::atomic<uint64_t> buckets[kHistogramBuckets];
    std::atomic<int64_t> max_ns;
    std::atomic<uint64_t> samples;
    std::atomic<int64_t> first_ns[kDriftWindow];
    std::atomic<int64_t> latest_ns[kDriftWindow];
};

int bucket_of(uint64_t value);
// The middle of the bucket.
int64_t bucket_value(int bucket);

void record_lateness(LatenessStats& stats, int64_t lateness_ns);
// The value at or below which `fraction` of the samples lie; 0 with none.
int64_t lateness_percentile(const LatenessStats& stats, double fraction);
// Mean of the latest kDriftWindow samples minus that of the first, each
// without its highest and lowest 5%; 0 until two windows are full.
int64_t lateness_drift(const LatenessStats& stats);

#endif
