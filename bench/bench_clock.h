// The benchmarks read the library's own counter, through its platform layer.
#ifndef VARNEX_BENCH_CLOCK_H
#define VARNEX_BENCH_CLOCK_H

#include <cstdint>

#include "platform/counter.h"

inline int64_t counter_frequency()
{
    static const int64_t frequency = [] {
        int64_t counts_per_second = 0;
        platform::query_frequency(&counts_per_second);
        return counts_per_second;
    }();
    return frequency;
}

inline int64_t read_counter()
{
    return platform::read_counter();
}

inline double counts_to_ns(int64_t counts)
{
    return static_cast<double>(counts) * 1e9 / static_cast<double>(counter_frequency());
}

#if defined(_WIN32) && defined(__i386__)
constexpr const char* kPlatform = "windows i686";
#elif defined(_WIN32)
constexpr const char* kPlatform = "windows x64";
#else
constexpr const char* kPlatform = "linux";
#endif

#endif
