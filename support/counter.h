// The counter the library paces by, read as a host reads it: the performance
// counter on Windows, CLOCK_MONOTONIC in nanoseconds on Linux. The benchmark
// times ticks on it and varnex-doctor reports its frequency and cost.
#ifndef VARNEX_SUPPORT_COUNTER_H
#define VARNEX_SUPPORT_COUNTER_H

#include <cstdint>

#if defined(_WIN32)
#  include <windows.h>

inline int64_t counter_frequency()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER counts_per_second{};
        QueryPerformanceFrequency(&counts_per_second);
        return counts_per_second.QuadPart;
    }();
    return frequency;
}

inline int64_t read_counter()
{
    LARGE_INTEGER reading{};
    QueryPerformanceCounter(&reading);
    return reading.QuadPart;
}
#else
#  include <time.h>

inline int64_t counter_frequency()
{
    return 1000000000;
}

inline int64_t read_counter()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
#endif

inline double counts_to_ns(int64_t counts)
{
    return static_cast<double>(counts) * 1e9 / static_cast<double>(counter_frequency());
}

#endif
