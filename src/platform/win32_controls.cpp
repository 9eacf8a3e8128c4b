#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

// SetThreadInformation's ThreadPowerThrottling (Windows 10 1709 on) and
// avrt.dll's MMCSS calls, looked up at run time: the DLL imports neither, so
// it loads where they do not exist.
struct PowerThrottlingState {
    ULONG version;
    ULONG control_mask;
    ULONG state_mask;
};
constexpr int kThreadPowerThrottling = 3;
constexpr ULONG kExecutionSpeed = 0x1;
using SetThreadInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
using AvSetFn = HANDLE(WINAPI*)(LPCWSTR, LPDWORD);
using AvRevertFn = BOOL(WINAPI*)(HANDLE);

template <typename Function>
Function find_function(const wchar_t* module_name, const char* name, bool load)
{
    HMODULE module = load ? LoadLibraryW(module_name) : GetModuleHandleW(module_name);
    return module == nullptr ? nullptr
                             : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

ControlResult refused()
{
    return GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PRIVILEGE_NOT_HELD
               ? ControlResult::kDenied
               : ControlResult::kUnsupported;
}

ControlResult set_throttling(ULONG control_mask)
{
    static const auto set_information =
        find_function<SetThreadInformationFn>(L"kernel32.dll", "SetThreadInformation", false);
    if (set_information == nullptr) {
        return ControlResult::kUnsupported;
    }
    PowerThrottlingState state{1, control_mask, 0};
    return set_information(GetCurrentThread(), kThreadPowerThrottling, &state, sizeof state) ? ControlResult::kApplied
                                                                                           : refused();
}

}  // namespace

ControlResult apply_control(Control control, const ControlRequest& request, int64_t* saved)
{
    switch (control) {
    case Control::kBoost: {
        *saved = GetThreadPriority(GetCurrentThread());
        return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) ? ControlResult::kApplied
                                                                                    : refused();
    }
    case Control::kAffinity: {
        const DWORD_PTR previous =
            SetThreadAffinityMask(GetCurrentThread(), static_cast<DWORD_PTR>(request.affinity_mask));
        *saved = static_cast<int64_t>(previous);
        return previous != 0 ? ControlResult::kApplied : refused();
    }
    case Control::kLockMemory:
        return VirtualLock(request.memory, request.memory_bytes) ? ControlResult::kApplied : ControlResult::kDenied;
    case Control::kNoThrottling:
        // Afterwards the system decides again, as it did before.
        return set_throttling(kExecutionSpeed);
    case Control::kMmcss: {
        static const auto set = find_function<AvSetFn>(L"avrt.dll", "AvSetMmThreadCharacteristicsW", true);
        if (set == nullptr) {
            return ControlResult::kUnsupported;
        }
        DWORD task_index = 0;
        HANDLE task = set(L"Pro Audio", &task_index);
        *saved = reinterpret_cast<intptr_t>(task);
        return task != nullptr ? ControlResult::kApplied : refused();
    }
    default:
        return ControlResult::kUnsupported;
    }
}

void restore_control(Control control, const ControlRequest& request, int64_t saved)
{
    switch (control) {
    case Control::kBoost:
        SetThreadPriority(GetCurrentThread(), static_cast<int>(saved));
        break;
    case Control::kAffinity:
        SetThreadAffinityMask(GetCurrentThread(), static_cast<DWORD_PTR>(saved));
        break;
    case Control::kLockMemory:
        VirtualUnlock(request.memory, request.memory_bytes);
        break;
    case Control::kNoThrottling:
        set_throttling(0);
        break;
    case Control::kMmcss: {
        static const auto revert = find_function<AvRevertFn>(L"avrt.dll", "AvRevertMmThreadCharacteristics", true);
        if (revert != nullptr) {
            revert(reinterpret_cast<HANDLE>(static_cast<intptr_t>(saved)));
        }
        break;
    }
    default:
        break;
    }
}

}  // namespace platform
