// CPU seconds this process has used, user and kernel, for the demo and the
// benchmarks' CPU-per-second figures.
#ifndef VARNEX_SUPPORT_PROCESS_CPU_H
#define VARNEX_SUPPORT_PROCESS_CPU_H

#include <cstdint>

#if defined(_WIN32)
#  include <windows.h>

inline double process_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& time) {
        return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
}
#else
#  include <sys/resource.h>

inline double process_cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}
#endif

#endif
