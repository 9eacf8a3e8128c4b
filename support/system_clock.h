// The system clock in nanoseconds since 1970, on which the demo reads each
// tick's offset from its grid point and the aligned clock reads its returns.
#ifndef VARNEX_SUPPORT_SYSTEM_CLOCK_H
#define VARNEX_SUPPORT_SYSTEM_CLOCK_H

#include <cstdint>

#if defined(_WIN32)
#  include <windows.h>

inline int64_t system_clock_ns(bool)
{
    FILETIME now{};
    GetSystemTimePreciseAsFileTime(&now);
    const auto since_1601 =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return (since_1601 - 116444736000000000) * 100;
}
#else
#  include <time.h>

inline int64_t system_clock_ns(bool tai)
{
    timespec now{};
    clock_gettime(tai ? CLOCK_TAI : CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}
#endif

// Where the clock reads tick k of a grid of `rate` ticks a second from 1970.
inline int64_t grid_point_ns(uint64_t k, uint64_t rate)
{
    return static_cast<int64_t>(k / rate * 1000000000 + k % rate * 1000000000 / rate);
}

#endif
