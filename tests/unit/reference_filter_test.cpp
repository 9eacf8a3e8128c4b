// The reference filter's rule for a run of rejections, observation by
// observation, against a reference read exactly once a second (a PPS edge):
// its learned noise is the floor, 10 ns RMS, so runs agree within 30 ns.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "pacer/reference_filter.h"

namespace {

constexpr int64_t kSecondNs = 1000000000;
constexpr int64_t kReadingAtZeroNs = 1700000000 * kSecondNs;
constexpr int64_t kRestartNs = 100000000;

struct Pps {
    ReferenceFilter filter;
    int64_t local_ns = 0;

    // The next second's edge, read `off_ns` from the reference's truth.
    Observed edge(int64_t off_ns)
    {
        local_ns += kSecondNs;
        return observe_reference(filter, kReadingAtZeroNs + local_ns + off_ns, local_ns, kRestartNs);
    }
    std::vector<Observed> edges(const std::vector<int64_t>& offs_ns)
    {
        std::vector<Observed> results;
        for (const int64_t off_ns : offs_ns) {
            results.push_back(edge(off_ns));
        }
        return results;
    }
};

// Settled, and its noise learned down to the floor from the large one a new
// reference is taken to have.
Pps learned()
{
    Pps pps;
    for (int i = 0; i < 1000; ++i) {
        pps.edge(0);
    }
    EXPECT_EQ(observation_noise_ns2(pps.filter), 100.0);
    return pps;
}

constexpr Observed kOut = Observed::kOutlier;
constexpr Observed kStep = Observed::kRestarted;

TEST(ReferenceFilterTest, AnAgreeingRunIsAStepAtItsThirdEdgeWhenNoOutliersWereSeen)
{
    for (const int64_t step_ns : {-50000000, 30000000}) {
        SCOPED_TRACE(step_ns);
        Pps pps = learned();
        EXPECT_EQ(pps.edge(step_ns), kOut);
        EXPECT_FALSE(in_rejection_run(pps.filter));
        EXPECT_EQ(pps.edge(step_ns + 30), kOut);
        EXPECT_TRUE(in_rejection_run(pps.filter));
        EXPECT_EQ(pps.edge(step_ns), kStep);
        EXPECT_FALSE(in_rejection_run(pps.filter));
        EXPECT_EQ(reference_at(pps.filter, pps.local_ns), kReadingAtZeroNs + pps.local_ns + step_ns);
    }
}

// 31 ns apart: the run does not agree (a change of rate the gate rejects
// grows so), and only the eighth restarts the estimate.
TEST(ReferenceFilterTest, ARunThatDoesNotAgreeRestartsAtItsEighthEdge)
{
    constexpr int64_t kStepNs = -50000000;
    Pps pps = learned();
    EXPECT_EQ(pps.edges({kStepNs, kStepNs + 31, kStepNs, kStepNs, kStepNs, kStepNs, kStepNs, kStepNs}),
              (std::vector<Observed>{kOut, kOut, kOut, kOut, kOut, kOut, kOut, kStep}));
    EXPECT_EQ(reference_at(pps.filter, pps.local_ns), kReadingAtZeroNs + pps.local_ns + kStepNs);
}

// Outliers of one size agree with each other, but isolated ones make no run;
// once they are 1% of the edges, a run is a step only at its fifth edge
// (0.01^5 is under 10^-9, 0.01^4 is not).
TEST(ReferenceFilterTest, IsolatedOutliersNeverStepAndTheirShareLengthensTheRunThatDoes)
{
    Pps pps = learned();
    for (int i = 1; i <= 5050; ++i) {
        ASSERT_EQ(pps.edge(i % 100 == 0 ? 1000000 : 0), i % 100 == 0 ? kOut : Observed::kAccepted) << "edge " << i;
    }
    EXPECT_EQ(pps.edges({1000000, 1000000, 1000000, 1000000, 1000000}),
              (std::vector<Observed>{kOut, kOut, kOut, kOut, kStep}));
}

// A step's rejections were the reference moving, not outliers: the next step,
// with still no outlier seen, is followed at its third edge too.
TEST(ReferenceFilterTest, AStepLeavesTheNextStepAtItsThirdEdge)
{
    Pps pps = learned();
    EXPECT_EQ(pps.edges({20000000, 20000000, 20000000}), (std::vector<Observed>{kOut, kOut, kStep}));
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(pps.edge(20000000), Observed::kAccepted) << "edge " << i;
    }
    EXPECT_EQ(pps.edges({-10000000, -10000000, -10000000}), (std::vector<Observed>{kOut, kOut, kStep}));
}

}  // namespace
