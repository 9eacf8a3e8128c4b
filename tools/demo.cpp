// A host that paces itself with Varnex: opens the polling timer at 100 ticks
// per second and prints what ten waits returned.
#include <cstdio>

#if defined(_WIN32)
#  include <windows.h>
// Bound by decorated name, as hosts of Varnex.dll do.
using OpenRTTimerLVFn = unsigned int (*)(long, int);
using WaitForRTTimerLVFn = double (*)(unsigned int);
#else
#  include "varnex.h"
#endif

namespace {
constexpr long kRateTicksPerSecond = 100;
constexpr int kPriorityIndex = 0;
constexpr int kWaits = 10;
}  // namespace

int main()
{
#if defined(_WIN32)
    HMODULE library = LoadLibraryA("Varnex.dll");
    if (library == nullptr) {
        std::fprintf(stderr, "cannot load Varnex.dll (error %lu)\n", GetLastError());
        return 1;
    }
    auto OpenRTTimerLV = reinterpret_cast<OpenRTTimerLVFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "?OpenRTTimerLV@@YAIJH@Z")));
    auto WaitForRTTimerLV = reinterpret_cast<WaitForRTTimerLVFn>(
        reinterpret_cast<void*>(GetProcAddress(library, "?WaitForRTTimerLV@@YANI@Z")));
    if (OpenRTTimerLV == nullptr || WaitForRTTimerLV == nullptr) {
        std::fprintf(stderr, "Varnex.dll lacks the polling timer's exports\n");
        return 1;
    }
#endif
    const unsigned int token = OpenRTTimerLV(kRateTicksPerSecond, kPriorityIndex);
    if (token == 0) {
        std::fprintf(stderr, "the polling timer did not open\n");
        return 1;
    }
    std::printf("polling timer at %ld ticks per second\n", kRateTicksPerSecond);
    for (int wait = 1; wait <= kWaits; ++wait) {
        const double elapsed_seconds = WaitForRTTimerLV(token);
        std::printf("wait %2d: %.6f s\n", wait, elapsed_seconds);
    }
    return 0;
}
