// A named clock under Windows, in one process: two views of one mapping, each
// with its own handles, so that every wake-up crosses from one view's named
// event to the other's as it would between processes.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "host_os.h"
#include "varnex/pacer.h"

namespace {

constexpr int64_t kPeriodNs = 1000000;
// Reached only by a fault: a pacer that never comes back.
constexpr int64_t kSettleNs = 30000000000;
constexpr int kSteps = 30;
// A waiter that no event wakes comes back only at its liveness check, every
// 100 ms: the steps would take 3 s.
constexpr double kStepsLimitS = 1.5;

varnex_sim_clock_config named(const std::string& name)
{
    varnex_sim_clock_config config{};
    config.size = sizeof config;
    name.copy(config.name, sizeof config.name - 1);
    return config;
}

TEST(SimClockNamed, TwoViewsRunInLockstepAndTheNameFollowsTheWindowsRule)
{
    const std::string name = "win-named-" + std::to_string(GetCurrentProcessId());
    const varnex_sim_clock_config config = named(name);
    varnex_sim_clock* creator = nullptr;
    varnex_sim_clock* opened = nullptr;
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &opened), VARNEX_E_NOT_FOUND);
    ASSERT_EQ(varnex_sim_clock_create(&config, &creator), VARNEX_OK);
    varnex_sim_clock* second = nullptr;
    EXPECT_EQ(varnex_sim_clock_create(&config, &second), VARNEX_E_NAME_IN_USE);
    ASSERT_EQ(varnex_sim_clock_open(name.c_str(), &opened), VARNEX_OK);

    varnex_pacer_config pacing;
    varnex_pacer_config_init(&pacing);
    pacing.rate_num = 1000;
    pacing.rate_den = 1;
    varnex_pacer* pacer = nullptr;
    ASSERT_EQ(varnex_pacer_create_on(&pacing, opened, &pacer), VARNEX_OK);
    std::vector<uint64_t> indices;
    int last_status = VARNEX_OK;
    std::thread controller([&] {
        varnex_tick tick{};
        tick.size = sizeof tick;
        while ((last_status = varnex_pacer_wait(pacer, &tick)) == VARNEX_OK) {
            indices.push_back(tick.index);
        }
    });
    const double start_s = host::seconds_now();
    for (int k = 1; k <= kSteps; ++k) {
        ASSERT_EQ(varnex_sim_clock_advance(creator, k * kPeriodNs, kSettleNs), VARNEX_OK) << k;
    }
    EXPECT_LT(host::seconds_now() - start_s, kStepsLimitS) << "the advances did not wake the other view's waits";

    // The creator's destroy ends the other view's wait, and its name is found
    // no more; the mapping lives on with that view, and so does the name.
    varnex_sim_clock_destroy(creator);
    controller.join();
    EXPECT_EQ(last_status, VARNEX_E_CLOCK_GONE);
    ASSERT_EQ(indices.size(), static_cast<size_t>(kSteps));
    for (int k = 0; k < kSteps; ++k) {
        EXPECT_EQ(indices[k], static_cast<uint64_t>(k));
    }
    EXPECT_EQ(varnex_sim_clock_open(name.c_str(), &second), VARNEX_E_NOT_FOUND);
    EXPECT_EQ(varnex_sim_clock_create(&config, &second), VARNEX_E_NAME_IN_USE);
    varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(opened);
    ASSERT_EQ(varnex_sim_clock_create(&config, &second), VARNEX_OK) << "the last holder's close freed the name";
    varnex_sim_clock_destroy(second);
}

}  // namespace
