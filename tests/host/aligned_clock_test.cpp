// A pacer aligned to the system clock, on the real clocks: its returns lie
// near their grid points, and (where the build can start a second process)
// two processes' ticks of one index come together. With "--report", the
// program that reports a pacer's ticks for such a comparison.
#include "aligned_clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "system_clock.h"

namespace {

using aligned::percentile_ns;

std::vector<long long> offsets_from_grid_ns(const std::vector<aligned::Return>& returns, uint32_t rate)
{
    std::vector<long long> offsets;
    for (const aligned::Return& tick : returns) {
        offsets.push_back(std::llabs(aligned::offset_from_grid_ns(tick, rate)));
    }
    return offsets;
}

// Each return is read from the clock right after it; a 32-bit process under
// emulation reads late by its own slowness, which the bound allows.
TEST(AlignedClock, ReturnsLieNearTheirGridPoints)
{
    const auto returns = aligned::pace(100, 100, true).returns;
    ASSERT_EQ(returns.size(), 100u);
    for (size_t tick = 1; tick < returns.size(); ++tick) {
        ASSERT_GT(returns[tick].index, returns[tick - 1].index) << "no index repeats";
    }
    const long long now_index = system_clock_ns(false) / 10000000;
    EXPECT_LE(returns.back().index, static_cast<unsigned long long>(now_index)) << "indices count from 1970";
    EXPECT_GE(returns.back().index + 100, static_cast<unsigned long long>(now_index));
    EXPECT_LT(percentile_ns(offsets_from_grid_ns(returns, 100), 0.5), 2000000);
}

// Beside a copy of this program in report mode, started with it: the ticks
// of one index come together, as on two machines with synchronized clocks.
TEST(AlignedClock, TwoProcessesTicksOfOneIndexComeTogether)
{
    // The peer's arguments, as the driver that started it beside us sets them.
    const char* beside = std::getenv("VARNEX_PEER_BESIDE");
    std::istringstream words(beside != nullptr ? beside : "");
    std::string mode;
    std::string peer_file;
    if (!(words >> mode >> peer_file) || mode != "--report") {
        GTEST_SKIP() << "no peer in report mode beside this process";
    }
    std::remove(peer_file.c_str());  // a report a failed run left
    const auto ours = aligned::pace(100, 200, true).returns;
    ASSERT_EQ(ours.size(), 200u);
    std::vector<aligned::Return> theirs;
    for (int poll = 0; poll < 600 && theirs.empty(); ++poll) {
        std::ifstream in(peer_file.c_str());
        if (in) {
            theirs = aligned::read_report(in).returns;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    std::remove(peer_file.c_str());
    ASSERT_FALSE(theirs.empty()) << "the peer wrote no report to " << peer_file;
    const auto offsets = aligned::same_index_offsets_ns(theirs, ours);
    ASSERT_GE(offsets.size(), 100u) << "the two ran at the same time";
    std::printf("same-index offset: p50 %lld ns, p90 %lld ns, max %lld ns over %zu ticks\n",
                percentile_ns(offsets, 0.5), percentile_ns(offsets, 0.9), percentile_ns(offsets, 1.0),
                offsets.size());
    // Unaligned, the medians would lie anywhere in the 10 ms period; a p90
    // within it allows a busy machine's late returns (2.4 ms seen natively).
    EXPECT_LT(percentile_ns(offsets, 0.5), 1000000);
    EXPECT_LT(percentile_ns(offsets, 0.9), 10000000);
    const std::vector<aligned::Return>* both[] = {&ours, &theirs};
    for (const std::vector<aligned::Return>* returns : both) {
        const auto from_grid = offsets_from_grid_ns(*returns, 100);
        EXPECT_LT(percentile_ns(from_grid, 0.5), 1000000);
        EXPECT_LT(percentile_ns(from_grid, 0.9), 10000000);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--report") == 0) {
        return aligned::report_main(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
