// On Windows the tools, the benchmark and the host suite call the library as
// a host that binds it at run time: each function of the public headers is
// defined here to call the export that GetProcAddress finds in Varnex.dll by
// its exported name.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "varnex.h"
#include "varnex/pacer.h"
#include "varnex_exports.h"

namespace {

HMODULE library()
{
    static const HMODULE module = [] {
        HMODULE loaded = LoadLibraryA("Varnex.dll");
        if (loaded == nullptr) {
            std::fprintf(stderr, "cannot load Varnex.dll (error %lu)\n", GetLastError());
            std::abort();
        }
        return loaded;
    }();
    return module;
}

template <typename Function>
Function bound(const char* name)
{
    auto* found = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library(), name)));
    if (found == nullptr) {
        std::fprintf(stderr, "Varnex.dll exports no %s\n", name);
        std::abort();
    }
    return found;
}

}  // namespace

// Each binds once, at its first call.
#define VARNEX_FORWARD(result, function, key, parameters, arguments)                          \
    result function parameters                                                                \
    {                                                                                         \
        static const auto target = bound<result(*) parameters>(VARNEX_EXPORT_NAME(key));      \
        return target arguments;                                                              \
    }
#define VARNEX_FORWARD_C(result, function, parameters, arguments)                             \
    extern "C" result VARNEX_CALL function parameters                                         \
    {                                                                                         \
        static const auto target = bound<result(VARNEX_CALL*) parameters>(VARNEX_EXPORT_NAME(function)); \
        return target arguments;                                                              \
    }

VARNEX_FORWARD(void*, OpenRTTimer, OpenRTTimer, (long rate, int priorityIndex), (rate, priorityIndex))
VARNEX_FORWARD(double, WaitForRTTimer, WaitForRTTimer, (void* handle), (handle))
VARNEX_FORWARD(short, CloseRTTimer, CloseRTTimer, (void* handle), (handle))
VARNEX_FORWARD(unsigned int, OpenRTTimerLV, OpenRTTimerLV, (long rate, int priorityIndex), (rate, priorityIndex))
VARNEX_FORWARD(double, WaitForRTTimerLV, WaitForRTTimerLV, (unsigned int token), (token))

VARNEX_FORWARD_C(uint32_t, varnex_version, (void), ())
VARNEX_FORWARD_C(const char*, varnex_strerror, (int status), (status))
VARNEX_FORWARD_C(void, varnex_pacer_config_init, (varnex_pacer_config * config), (config))
VARNEX_FORWARD_C(int, varnex_pacer_create, (const varnex_pacer_config* config, varnex_pacer** pacer),
                 (config, pacer))
VARNEX_FORWARD_C(void, varnex_pacer_destroy, (varnex_pacer * pacer), (pacer))
VARNEX_FORWARD_C(int, varnex_pacer_wait, (varnex_pacer * pacer, varnex_tick* tick), (pacer, tick))
VARNEX_FORWARD_C(int, varnex_pacer_cancel, (varnex_pacer * pacer), (pacer))
VARNEX_FORWARD_C(int, varnex_pacer_get_stats, (varnex_pacer * pacer, varnex_pacer_stats* stats), (pacer, stats))
VARNEX_FORWARD_C(int, varnex_pacer_set_controls, (varnex_pacer * pacer, const varnex_pacer_controls* controls),
                 (pacer, controls))
VARNEX_FORWARD_C(int, varnex_pacer_rate, (const varnex_pacer* pacer, uint32_t* rate_num, uint32_t* rate_den),
                 (pacer, rate_num, rate_den))
VARNEX_FORWARD_C(int, varnex_pacer_wait_handle, (varnex_pacer * pacer, intptr_t* handle), (pacer, handle))
VARNEX_FORWARD_C(int, varnex_pacer_set_lateness_budget, (varnex_pacer * pacer, int64_t p99_ns), (pacer, p99_ns))
