// Statistics are read from any thread, also while the allocator is unusable
// or failing: reading them never calls it, once the drift's windows are full
// too. Every operator new of this test program is counted.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "fake_platform_test.h"
#include "varnex/pacer.h"

namespace {
std::atomic<uint64_t> allocations{0};
}

void* operator new(size_t bytes)
{
    allocations.fetch_add(1);
    if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, size_t) noexcept
{
    std::free(memory);
}

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
    const uint64_t before = allocations.load();
    ASSERT_EQ(varnex_pacer_get_stats(pacer, &stats), VARNEX_OK);
    EXPECT_EQ(allocations.load(), before);
    EXPECT_EQ(stats.ticks, 2100u);
    varnex_pacer_destroy(pacer);
}

}  // namespace
