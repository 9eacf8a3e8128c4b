// Statistics are read from any thread, also while the allocator is unusable
// or failing: reading them never calls it, once the drift's windows are full
// too. Every operator new of this test program is counted (counted_new.cpp).
#include <gtest/gtest.h>

#include "counted_new.h"
#include "fake_platform_test.h"
#include "varnex/pacer.h"

namespace {

using PacerStatsTest = FakePlatformTest;

TEST_F(PacerStatsTest, ReadingTheStatisticsNeverAllocates)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = 10;
    config.rate_den = 1;
    varnex_pacer* pacer = nullptr;
    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    for (int tick = 0; tick < 2100; ++tick) {
        ASSERT_EQ(varnex_pacer_wait(pacer, nullptr), VARNEX_OK);
    }
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    const uint64_t before = counted_allocations();
    ASSERT_EQ(varnex_pacer_get_stats(pacer, &stats), VARNEX_OK);
    EXPECT_EQ(counted_allocations(), before);
    EXPECT_EQ(stats.ticks, 2100u);
    varnex_pacer_destroy(pacer);
}

}  // namespace
