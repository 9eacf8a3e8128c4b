// The high-resolution counter that every wait reads. Each service has a
// header of its own in this folder, and an opaque type for each object it
// hands out; exactly one set of implementations is linked in: the
// win32_*.cpp files, the linux_*.cpp files, or the tests' fake platform.
#ifndef VARNEX_PLATFORM_COUNTER_H
#define VARNEX_PLATFORM_COUNTER_H

#include <cstdint>

namespace platform {

// The Linux counter's frequency: it counts nanoseconds.
constexpr int64_t kNanosecondsPerSecond = 1000000000;

// QueryPerformanceFrequency: false when there is no counter. Writes the
// frequency (0 on failure) either way.
bool query_frequency(int64_t* counts_per_second);
// QueryPerformanceCounter.
int64_t read_counter();

}  // namespace platform

#endif
