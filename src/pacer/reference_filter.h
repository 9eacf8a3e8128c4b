// The estimate of a reference clock against the library's clock, from the
// host's observations: the reference's offset and rate, a Kalman filter on
// those two states.
//
// Why a Kalman filter: it weighs each observation by what is known of the
// offset and the rate at its instant, so that it is a least-squares fit over
// a growing window while it acquires (a lock in tens of observations) and a
// fading-memory fit once settled, at O(1) time and state per observation,
// whatever the observations' rate (a display's 60 a second, an audio
// device's 1,000). A robust window fit needs the window's observations and a
// median; a PI loop (chrony, ptp4l) steers a clock rather than estimating one,
// and its gains suit one observation rate.
//
// The model: the offset (reference minus local) grows by the rate times the
// time; the rate wanders as a random walk of kRateWanderPerSqrtS, the offset
// on its own by kPhaseWanderPerSqrtS. The observations' noise is learned from
// the innovations (each one's square less the offset's own variance, averaged),
// so that the gate and the reported jitter follow the reference as it is.
//
// Robustness:
// - an outlier: an innovation past kGateSigmas of its expected spread, once
//   the filter has settled, is rejected and counted;
// - a step: rejections in a row whose innovations agree within kAgreeJitters
//   of the noise are the reference itself moved once they are too many to be
//   outliers by chance: k in a row, the least k for which the outlier share
//   measured before them, to the k-th power, is under kFalseStepChance (3 to
//   kRejectRun; 3 with no outliers measured). The offset restarts at the
//   latest observation, the rate kept but uncertain. A run that does not agree
//   (a change of rate the gate rejects, whose innovations grow) restarts so at
//   kRejectRun;
// - a restart before the filter settles (no gate yet): an innovation past the
//   caller's restart distance is a new reference (a stream restarted while
//   the pacer acquired it), not a reading to average with the old one: the
//   filter starts afresh at it;
// - a change of rate: the innovations' running mean (each divided by its
//   spread) past kBiasLimit means the rate moved; the rate's variance widens by
//   kRateKick squared so that the filter follows within a few hundred
//   observations, before the gate would reject them.
#ifndef VARNEX_PACER_REFERENCE_FILTER_H
#define VARNEX_PACER_REFERENCE_FILTER_H

#include <cstdint>

struct ReferenceFilter {
    bool started = false;
    // The state is for this instant of the library's clock: the offset
    // offset_base_ns + offset_ns, and the rate (the reference's rate against
    // the clock's, less 1).
    int64_t at_local_ns = 0;
    int64_t offset_base_ns = 0;
    double offset_ns = 0.0;
    double rate = 0.0;
    // The covariance of offset and rate.
    double p00 = 0.0;
    double p01 = 0.0;
    double p11 = 0.0;
    double noise_ns2 = 0.0;       // the observations' noise, learned
    double bias = 0.0;            // their running mean, each divided by its spread
    uint32_t accepted = 0;        // since the start or the latest restart
    // The share of the gated observations rejected, a running mean over
    // kShareLength; a run of rejections is counted in as an accepted
    // observation ends it, never a run that restarted the estimate.
    double outlier_share = 0.0;
    uint32_t rejected_in_row = 0;
    double run_lowest_ns = 0.0;   // the run's innovations span these
    double run_highest_ns = 0.0;
};

enum class Observed { kAccepted, kOutlier, kRestarted };

// `restart_ns`: the distance from the estimate past which an observation
// restarts a filter that has not settled.
Observed observe_reference(ReferenceFilter& filter, int64_t reference_ns, int64_t local_ns, int64_t restart_ns);
// Whether the filter has taken enough observations since its start to gate
// outliers and to lock.
bool filter_settled(const ReferenceFilter& filter);
// Whether the latest two observations or more were rejected: the reference
// may have stepped, and the estimate not yet followed.
inline bool in_rejection_run(const ReferenceFilter& filter)
{
    return filter.rejected_in_row >= 2;
}
// The local instant at which the reference reads `reference_ns`, and the
// reference's reading at `local_ns`, by the estimate.
int64_t local_at(const ReferenceFilter& filter, int64_t reference_ns);
int64_t reference_at(const ReferenceFilter& filter, int64_t local_ns);
// The estimate's own uncertainty of the offset, as a variance in ns^2.
inline double offset_variance_ns2(const ReferenceFilter& filter)
{
    return filter.p00;
}
// The observations' noise, as a variance in ns^2.
double observation_noise_ns2(const ReferenceFilter& filter);

#endif
