// The pacer calls the fake-platform tests make again and again, each
// expected to succeed.
#ifndef VARNEX_TESTS_PACER_CALLS_H
#define VARNEX_TESTS_PACER_CALLS_H

#include <gtest/gtest.h>

#include "varnex/pacer.h"

inline varnex_pacer* created(const varnex_pacer_config& config)
{
    varnex_pacer* pacer = nullptr;
    EXPECT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    return pacer;
}

inline varnex_tick waited(varnex_pacer* pacer)
{
    varnex_tick tick{};
    tick.size = sizeof tick;
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
    return tick;
}

inline varnex_pacer_stats stats_of(varnex_pacer* pacer)
{
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(varnex_pacer_get_stats(pacer, &stats), VARNEX_OK);
    return stats;
}

#endif
