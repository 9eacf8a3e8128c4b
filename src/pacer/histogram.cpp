#include "pacer/histogram.h"

#include <algorithm>
#include <cmath>

#include "pacer/atomics.h"

namespace {

constexpr int kTrimmed = kDriftWindow / 20;

int floor_log2(uint64_t value)
{
    return 63 - __builtin_clzll(value);
}

// On the stack, 8 kB: the statistics are read from any thread, and never
// call the allocator (a failure there would throw through the C interface).
double trimmed_mean(const std::atomic<int64_t>* samples)
{
    int64_t sorted[kDriftWindow];
    for (int index = 0; index < kDriftWindow; ++index) {
        sorted[index] = samples[index].load(kRelaxed);
    }
    std::sort(sorted, sorted + kDriftWindow);
    double sum = 0.0;
    for (int index = kTrimmed; index < kDriftWindow - kTrimmed; ++index) {
        sum += static_cast<double>(sorted[index]);
    }
    return sum / (kDriftWindow - 2 * kTrimmed);
}

}  // namespace

int bucket_of(uint64_t value)
{
    if (value < static_cast<uint64_t>(kSubBuckets)) {
        return static_cast<int>(value);
    }
    const int exponent = std::min(floor_log2(value), kTopExponent);
    const int sub_bucket = exponent == kTopExponent && floor_log2(value) > kTopExponent
                               ? kSubBuckets - 1
                               : static_cast<int>(value >> (exponent - kSubBucketBits)) - kSubBuckets;
    return kSubBuckets * (exponent - kSubBucketBits + 1) + sub_bucket;
}

int64_t bucket_value(int bucket)
{
    if (bucket < kSubBuckets) {
        return bucket;
    }
    const int exponent = bucket / kSubBuckets + kSubBucketBits - 1;
    const int64_t width = int64_t{1} << (exponent - kSubBucketBits);
    const int64_t lowest = (int64_t{kSubBuckets} + bucket % kSubBuckets) * width;
    return lowest + width / 2;
}

void record_lateness(LatenessStats& stats, int64_t lateness_ns)
{
    const int64_t value = std::max<int64_t>(lateness_ns, 0);
    add_relaxed(stats.buckets[bucket_of(static_cast<uint64_t>(value))], uint64_t{1});
    if (value > stats.max_ns.load(kRelaxed)) {
        stats.max_ns.store(value, kRelaxed);
    }
    const uint64_t sample = stats.samples.load(kRelaxed);
    if (sample < static_cast<uint64_t>(kDriftWindow)) {
        stats.first_ns[sample].store(value, kRelaxed);
    }
    stats.latest_ns[sample % kDriftWindow].store(value, kRelaxed);
    stats.samples.store(sample + 1, std::memory_order_release);
}

int64_t lateness_percentile(const LatenessStats& stats, double fraction)
{
    uint64_t total = 0;
    for (const auto& bucket : stats.buckets) {
        total += bucket.load(kRelaxed);
    }
    if (total == 0) {
        return 0;
    }
    const auto rank = static_cast<uint64_t>(std::ceil(fraction * static_cast<double>(total)));
    uint64_t seen = 0;
    for (int bucket = 0; bucket < kHistogramBuckets; ++bucket) {
        seen += stats.buckets[bucket].load(kRelaxed);
        if (seen >= std::max<uint64_t>(rank, 1)) {
            return std::min(bucket_value(bucket), stats.max_ns.load(kRelaxed));
        }
    }
    return stats.max_ns.load(kRelaxed);
}

int64_t lateness_drift(const LatenessStats& stats)
{
    if (stats.samples.load(std::memory_order_acquire) < 2 * static_cast<uint64_t>(kDriftWindow)) {
        return 0;
    }
    return std::llround(trimmed_mean(stats.latest_ns) - trimmed_mean(stats.first_ns));
}
