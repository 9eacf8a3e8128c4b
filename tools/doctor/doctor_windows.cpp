// Windows: the waitable timers and the timer resolution; each
// newer function is looked up, so that the tool runs wherever the DLL does.
#include <windows.h>

#include <cstdio>
#include <string>

#include "doctor_system.h"

namespace {

constexpr DWORD kCreateWaitableTimerHighResolution = 0x2;

std::string high_resolution_timer()
{
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        return "no (before Windows 10 1803): sleeps wake at the timer resolution";
    }
    CloseHandle(timer);
    return "yes";
}

// In 100 ns units, from ntdll.
std::string timer_resolution()
{
    using Query = LONG(WINAPI*)(PULONG, PULONG, PULONG);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll == nullptr ? nullptr
                                        : reinterpret_cast<Query>(
                                              reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryTimerResolution")));
    ULONG coarsest = 0;
    ULONG finest = 0;
    ULONG current = 0;
    if (query == nullptr || query(&coarsest, &finest, &current) != 0) {
        return "unknown";
    }
    char text[96];
    std::snprintf(text, sizeof text, "%.3f ms in force (%.3f to %.3f ms)", current / 1e4, finest / 1e4,
                  coarsest / 1e4);
    return text;
}

}  // namespace

std::vector<Fact> system_facts()
{
    return {
        {"hypervisor", hypervisor()},
        {"high-resolution waitable timer", high_resolution_timer()},
        {"timer resolution", timer_resolution()},
    };
}
