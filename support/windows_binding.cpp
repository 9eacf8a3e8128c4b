// On Windows the tools, the benchmark and the tests call the library as a
// host that binds it at run time.
#include "windows_binding.h"

#include <cstdio>
#include <cstdlib>

#include "varnex.h"
#include "varnex/pacer.h"

namespace {

FARPROC resolve(HMODULE module, const VarnexExport& entry, BindBy bind_by)
{
    return bind_by == BindBy::kName ? GetProcAddress(module, entry.name)
                                    : GetProcAddress(module, MAKEINTRESOURCEA(entry.ordinal));
}

template <typename Function>
void bind(Function& target, HMODULE module, int ordinal, BindBy bind_by)
{
    target = reinterpret_cast<Function>(reinterpret_cast<void*>(resolve(module, kVarnexExports[ordinal - 1], bind_by)));
}

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

VarnexDll load_varnex(BindBy bind_by)
{
    VarnexDll dll;
    dll.module = LoadLibraryA("Varnex.dll");
    if (dll.module == nullptr) {
        return dll;
    }
    bind(dll.construct, dll.module, 1, bind_by);
    bind(dll.assign, dll.module, 2, bind_by);
    bind(dll.CloseRTTimer, dll.module, 3, bind_by);
    bind(dll.OpenRTTimer, dll.module, 4, bind_by);
    bind(dll.OpenRTTimerLV, dll.module, 5, bind_by);
    bind(dll.WaitForRTTimer, dll.module, 6, bind_by);
    bind(dll.WaitForRTTimerLV, dll.module, 7, bind_by);
    bind(dll.nVarnex, dll.module, 8, bind_by);
    return dll;
}

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
VARNEX_FORWARD_C(int, varnex_pacer_observe, (varnex_pacer * pacer, int64_t reference_ns, int64_t local_ns),
                 (pacer, reference_ns, local_ns))
VARNEX_FORWARD_C(int, varnex_pacer_set_reference_options,
                 (varnex_pacer * pacer, const varnex_reference_options* options), (pacer, options))
VARNEX_FORWARD_C(int64_t, varnex_clock_ns, (void), ())
VARNEX_FORWARD_C(int, varnex_sim_clock_create, (const varnex_sim_clock_config* config, varnex_sim_clock** clock),
                 (config, clock))
VARNEX_FORWARD_C(int, varnex_sim_clock_open, (const char* name, varnex_sim_clock** clock), (name, clock))
VARNEX_FORWARD_C(void, varnex_sim_clock_destroy, (varnex_sim_clock * clock), (clock))
VARNEX_FORWARD_C(int, varnex_sim_clock_now, (const varnex_sim_clock* clock, int64_t* now_ns), (clock, now_ns))
VARNEX_FORWARD_C(int, varnex_sim_clock_advance, (varnex_sim_clock * clock, int64_t to_ns, int64_t settle_timeout_ns),
                 (clock, to_ns, settle_timeout_ns))
VARNEX_FORWARD_C(int, varnex_pacer_create_on,
                 (const varnex_pacer_config* config, varnex_sim_clock* clock, varnex_pacer** pacer),
                 (config, clock, pacer))
