#include "pacer/reference_filter.h"

#include <algorithm>
#include <cmath>

#include "platform/counter.h"

namespace {

// The reference's rate wanders by this much in a second, its offset by this
// many ns: a crystal's drift with temperature, and a little more.
constexpr double kRateWanderPerSqrtS = 1e-8;
constexpr double kPhaseWanderPerSqrtS = 10.0;
constexpr auto kNsPerS = static_cast<double>(platform::kNanosecondsPerSecond);
constexpr double kRateNoisePerNs = kRateWanderPerSqrtS * kRateWanderPerSqrtS / kNsPerS;
constexpr double kPhaseNoisePerNs = kPhaseWanderPerSqrtS * kPhaseWanderPerSqrtS / kNsPerS;
// What is known of a new reference's rate: within a few parts per thousand.
constexpr double kInitialRateSpread = 1e-3;
// A rate further off than this is no clock the pacer can follow.
constexpr double kMaxRate = 0.01;
// The noise is averaged over this many observations once settled; the bias
// over kBiasLength.
constexpr double kNoiseLength = 64.0;
constexpr double kBiasLength = 32.0;
// One in about 10^6 innovations of a Gaussian reference lies past 5 sigmas:
// the gate rejects almost only outliers.
constexpr double kGateSigmas = 5.0;
// Rejections in a row whose innovations lie within this many times the
// noise's RMS of each other: a step's readings, or outliers of one size.
constexpr double kAgreeJitters = 3.0;
// Isolated outliers make an agreeing run of k with the chance share^k: a run
// of k is a step once that is below kFalseStepChance. Three at the least: a
// share measured as 0 is a short history, not a promise, and one or two
// outliers in a row must not move the grid. A run that does not agree is a
// step at kRejectRun.
constexpr double kFalseStepChance = 1e-9;
constexpr uint32_t kShortestStepRun = 3;
constexpr uint32_t kRejectRun = 8;
// The outlier share is a running mean over this many gated observations: a
// share of 1% is seen ten times over.
constexpr double kShareLength = 1024.0;
constexpr uint32_t kSettledObservations = 16;
// The bias's spread is 1 / sqrt(2 * kBiasLength - 1), 0.13: 0.75 is past 5.9
// of them.
constexpr double kBiasLimit = 0.75;
constexpr double kRateKick = 1e-4;
// The noise learned is never below this (a reference read exactly).
constexpr double kNoiseFloorNs2 = 100.0;
// What a new reference's noise is taken to be until the filter settles:
// then counted as one of the innovations that tell.
constexpr double kInitialNoiseNs2 = 50000.0 * 50000.0;

// The run's rejections counted into the outlier share, only as it ends in an
// accepted observation: the share that tells whether a run is a step is the
// one measured before it.
void end_rejection_run(ReferenceFilter& filter)
{
    filter.outlier_share =
        1.0 - (1.0 - filter.outlier_share) * std::pow(1.0 - 1.0 / kShareLength, filter.rejected_in_row);
    filter.rejected_in_row = 0;
}

uint32_t step_run(double outlier_share)
{
    uint32_t run = kShortestStepRun;
    for (double chance = std::pow(outlier_share, run); chance >= kFalseStepChance && run < kRejectRun;
         chance *= outlier_share) {
        ++run;
    }
    return run;
}

void start(ReferenceFilter& filter, int64_t reference_ns, int64_t local_ns, double rate_spread)
{
    filter.started = true;
    filter.at_local_ns = local_ns;
    filter.offset_base_ns = reference_ns - local_ns;
    filter.offset_ns = 0.0;
    filter.p00 = observation_noise_ns2(filter);
    filter.p01 = 0.0;
    filter.p11 = std::max(filter.p11, rate_spread * rate_spread);
    filter.bias = 0.0;
    filter.accepted = 1;
    // A run that restarts the estimate was the reference moving, not
    // outliers: it leaves the share as it was.
    filter.rejected_in_row = 0;
}

// The state moved on to `local_ns`, its covariance grown by the model's noise.
void predict(ReferenceFilter& filter, int64_t local_ns)
{
    const double dt = static_cast<double>(local_ns - filter.at_local_ns);
    const double span = std::fabs(dt);
    filter.offset_ns += filter.rate * dt;
    filter.p00 += 2.0 * dt * filter.p01 + dt * dt * filter.p11 + kPhaseNoisePerNs * span +
                  kRateNoisePerNs * span * span * span / 3.0;
    filter.p01 += dt * filter.p11 + kRateNoisePerNs * dt * span / 2.0;
    filter.p11 += kRateNoisePerNs * span;
    filter.at_local_ns = local_ns;
    // The whole nanoseconds go to the base, so that the double keeps the fraction.
    const double whole = std::trunc(filter.offset_ns);
    filter.offset_base_ns += static_cast<int64_t>(whole);
    filter.offset_ns -= whole;
}

}  // namespace

double observation_noise_ns2(const ReferenceFilter& filter)
{
    return std::max(filter.noise_ns2, kNoiseFloorNs2);
}

bool filter_settled(const ReferenceFilter& filter)
{
    return filter.started && filter.accepted >= kSettledObservations;
}

Observed observe_reference(ReferenceFilter& filter, int64_t reference_ns, int64_t local_ns, int64_t restart_ns)
{
    if (!filter.started) {
        filter.noise_ns2 = kInitialNoiseNs2;
        start(filter, reference_ns, local_ns, kInitialRateSpread);
        return Observed::kAccepted;
    }
    // Predicted on a copy: an outlier leaves the state as it was. Its stamp
    // may be far from the others (a host that stamps with another clock), and
    // the state moved there and back would keep the covariance that distance
    // grew, which would wipe out the noise learned and narrow the gate.
    ReferenceFilter predicted = filter;
    predict(predicted, local_ns);
    const double innovation =
        static_cast<double>(reference_ns - local_ns - predicted.offset_base_ns) - predicted.offset_ns;
    if (!filter_settled(filter) && std::fabs(innovation) > static_cast<double>(restart_ns)) {
        filter.noise_ns2 = kInitialNoiseNs2;
        start(filter, reference_ns, local_ns, kInitialRateSpread);
        return Observed::kRestarted;
    }
    const double noise = observation_noise_ns2(predicted);
    const double spread = predicted.p00 + noise;
    if (filter_settled(filter) && innovation * innovation > kGateSigmas * kGateSigmas * spread) {
        const bool first = filter.rejected_in_row++ == 0;
        filter.run_lowest_ns = first ? innovation : std::min(filter.run_lowest_ns, innovation);
        filter.run_highest_ns = first ? innovation : std::max(filter.run_highest_ns, innovation);
        const bool agreeing = filter.run_highest_ns - filter.run_lowest_ns <= kAgreeJitters * std::sqrt(noise);
        if (filter.rejected_in_row < (agreeing ? step_run(filter.outlier_share) : kRejectRun)) {
            return Observed::kOutlier;
        }
        start(filter, reference_ns, local_ns, kRateKick);
        return Observed::kRestarted;
    }
    filter = predicted;
    end_rejection_run(filter);
    // An innovation's square less the offset's own variance is the noise's
    // variance, on average; but only once the offset is known better than the
    // observations, and the mean is plain until kNoiseLength of them.
    if (filter_settled(filter)) {
        filter.outlier_share -= filter.outlier_share / kShareLength;
        const double noise_weight =
            1.0 / std::min<double>(filter.accepted - kSettledObservations + 2, kNoiseLength);
        filter.noise_ns2 += noise_weight * (innovation * innovation - filter.p00 - filter.noise_ns2);
    }
    const double gain0 = filter.p00 / spread;
    const double gain1 = filter.p01 / spread;
    filter.offset_ns += gain0 * innovation;
    filter.rate = std::clamp(filter.rate + gain1 * innovation, -kMaxRate, kMaxRate);
    filter.p11 -= gain1 * filter.p01;
    filter.p01 -= gain0 * filter.p01;
    filter.p00 -= gain0 * filter.p00;
    ++filter.accepted;
    filter.bias += (innovation / std::sqrt(spread) - filter.bias) / kBiasLength;
    if (filter_settled(filter) && std::fabs(filter.bias) > kBiasLimit) {
        filter.p11 += kRateKick * kRateKick;
        filter.bias = 0.0;
    }
    return Observed::kAccepted;
}

int64_t local_at(const ReferenceFilter& filter, int64_t reference_ns)
{
    const double ahead_ns =
        static_cast<double>(reference_ns - filter.at_local_ns - filter.offset_base_ns) - filter.offset_ns;
    return filter.at_local_ns + std::llround(ahead_ns / (1.0 + filter.rate));
}

int64_t reference_at(const ReferenceFilter& filter, int64_t local_ns)
{
    const double since_ns = static_cast<double>(local_ns - filter.at_local_ns);
    return local_ns + filter.offset_base_ns + std::llround(filter.offset_ns + filter.rate * since_ns);
}
