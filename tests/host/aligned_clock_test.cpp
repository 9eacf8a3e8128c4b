// A pacer aligned to the system clock, on the real clocks: its returns lie
// near their grid points, and (where the build can start a second process)
// two processes' ticks of one index come together.
//
// Also the program that reports a pacer's ticks for such a comparison:
//   aligned_clock_test --report FILE RATE TICKS ALIGNED [START_NS]
// waits until the system clock reads START_NS (if given), creates a hybrid
// pacer, aligned if ALIGNED is 1, and writes "index system_ns" for each return
// to FILE ("-": standard output), then "end".
#include "aligned_clock.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "host_os.h"

namespace {

using aligned::percentile_ns;

int report(int argc, char** argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s --report FILE RATE TICKS ALIGNED [START_NS]\n", argv[0]);
        return 2;
    }
    if (argc > 6) {
        const long long start_ns = std::atoll(argv[6]);
        const long long ahead_ns = start_ns - host::system_clock_ns();
        host::sleep_for(ahead_ns > 0 ? static_cast<double>(ahead_ns) * 1e-9 : 0.0);
    }
    const auto returns = aligned::pace(static_cast<uint32_t>(std::atoi(argv[3])), std::atoi(argv[4]),
                                       std::strcmp(argv[5], "1") == 0);
    return !returns.empty() && aligned::write_report(argv[2], returns) ? 0 : 1;
}

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
    const auto returns = aligned::pace(100, 100, true);
    ASSERT_EQ(returns.size(), 100u);
    for (size_t tick = 1; tick < returns.size(); ++tick) {
        ASSERT_GT(returns[tick].index, returns[tick - 1].index) << "no index repeats";
    }
    const long long now_index = host::system_clock_ns() / 10000000;
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
    const auto ours = aligned::pace(100, 200, true);
    ASSERT_EQ(ours.size(), 200u);
    std::vector<aligned::Return> theirs;
    for (int poll = 0; poll < 600 && theirs.empty(); ++poll) {
        std::ifstream in(peer_file.c_str());
        if (in) {
            theirs = aligned::read_report(in);
        } else {
            host::sleep_for(0.1);
        }
    }
    std::remove(peer_file.c_str());
    ASSERT_FALSE(theirs.empty()) << "the peer wrote no report to " << peer_file;
    const auto offsets = aligned::same_index_offsets_ns(theirs, ours);
    ASSERT_GE(offsets.size(), 100u) << "the two ran at the same time";
    std::printf("same-index offset: p50 %lld ns, p90 %lld ns, max %lld ns over %zu ticks\n",
                percentile_ns(offsets, 0.5), percentile_ns(offsets, 0.9), percentile_ns(offsets, 1.0),
                offsets.size());
    EXPECT_LT(percentile_ns(offsets, 0.5), 1000000);
    EXPECT_LT(percentile_ns(offsets, 0.9), 3000000);
    const std::vector<aligned::Return>* both[] = {&ours, &theirs};
    for (const std::vector<aligned::Return>* returns : both) {
        const auto from_grid = offsets_from_grid_ns(*returns, 100);
        EXPECT_LT(percentile_ns(from_grid, 0.5), 1000000);
        EXPECT_LT(percentile_ns(from_grid, 0.9), 3000000);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--report") == 0) {
        return report(argc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
