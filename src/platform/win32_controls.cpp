#include <windows.h>

#include <cwchar>

#include "platform/controls.h"

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

using GetThreadInformationFn = BOOL(WINAPI*)(HANDLE, int, LPVOID, DWORD);
// LoadLibraryEx's flag from Windows 8 on (Windows 7 with KB2533623).
constexpr DWORD kLoadLibrarySearchSystem32 = 0x800;

// A module already loaded, or one loaded from the system folder alone: the
// application's folder, searched first by LoadLibrary, may hold a planted
// copy of the same name.
HMODULE system_module(const wchar_t* module_name, bool load)
{
    if (!load) {
        return GetModuleHandleW(module_name);
    }
    if (HMODULE module = LoadLibraryExW(module_name, nullptr, kLoadLibrarySearchSystem32); module != nullptr) {
        return module;
    }
    // A system that does not know the flag: the full path.
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    const size_t name_length = wcslen(module_name);
    if (length == 0 || length + 1 + name_length >= MAX_PATH) {
        return nullptr;
    }
    path[length] = L'\\';
    wmemcpy(path + length + 1, module_name, name_length + 1);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename Function>
Function find_function(const wchar_t* module_name, const char* name, bool load)
{
    HMODULE module = system_module(module_name, load);
    return module == nullptr ? nullptr
                             : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

ControlResult refused()
{
    return GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PRIVILEGE_NOT_HELD
               ? ControlResult::kDenied
               : ControlResult::kUnsupported;
}

ControlResult set_throttling(const PowerThrottlingState& state)
{
    static const auto set_information =
        find_function<SetThreadInformationFn>(L"kernel32.dll", "SetThreadInformation", false);
    if (set_information == nullptr) {
        return ControlResult::kUnsupported;
    }
    PowerThrottlingState copy = state;
    return set_information(GetCurrentThread(), kThreadPowerThrottling, &copy, sizeof copy) ? ControlResult::kApplied
                                                                                          : refused();
}

// The thread's own throttling state, where the system can report it
// (GetThreadInformation knows ThreadPowerThrottling from Windows 11 on);
// else "system managed", the state of every thread that never set one.
PowerThrottlingState throttling_state()
{
    static const auto get_information =
        find_function<GetThreadInformationFn>(L"kernel32.dll", "GetThreadInformation", false);
    PowerThrottlingState state{1, 0, 0};
    if (get_information == nullptr ||
        !get_information(GetCurrentThread(), kThreadPowerThrottling, &state, sizeof state)) {
        state = {1, 0, 0};
    }
    return state;
}

}  // namespace

bool affinity_usable(uint64_t mask)
{
    // DWORD_PTR holds 32 CPUs on a 32-bit system.
    if (sizeof(DWORD_PTR) < sizeof mask && (mask >> 32) != 0) {
        return false;
    }
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
        return true;
    }
    return (static_cast<DWORD_PTR>(mask) & process_mask) != 0;
}

// SetThreadAffinityMask hands back the previous mask itself: the store is a
// token.
struct AffinityStore {};

AffinityStore* create_affinity_store()
{
    static AffinityStore token;
    return &token;
}

void close_affinity_store(AffinityStore*)
{
}

ControlResult apply_control(Control control, const ControlRequest& request, SavedControl* saved)
{
    switch (control) {
    case Control::kBoost: {
        saved->value = GetThreadPriority(GetCurrentThread());
        return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) ? ControlResult::kApplied
                                                                                    : refused();
    }
    case Control::kAffinity: {
        const DWORD_PTR previous =
            SetThreadAffinityMask(GetCurrentThread(), static_cast<DWORD_PTR>(request.affinity_mask));
        saved->value = static_cast<int64_t>(previous);
        return previous != 0 ? ControlResult::kApplied : refused();
    }
    case Control::kLockMemory:
        return VirtualLock(request.memory, request.memory_bytes) ? ControlResult::kApplied : ControlResult::kDenied;
    case Control::kNoThrottling: {
        const PowerThrottlingState previous = throttling_state();
        saved->value = static_cast<int64_t>(previous.control_mask) << 32 | previous.state_mask;
        return set_throttling({1, kExecutionSpeed, 0});
    }
    case Control::kMmcss: {
        static const auto set = find_function<AvSetFn>(L"avrt.dll", "AvSetMmThreadCharacteristicsW", true);
        if (set == nullptr) {
            return ControlResult::kUnsupported;
        }
        DWORD task_index = 0;
        HANDLE task = set(L"Pro Audio", &task_index);
        saved->value = reinterpret_cast<intptr_t>(task);
        return task != nullptr ? ControlResult::kApplied : refused();
    }
    default:
        return ControlResult::kUnsupported;
    }
}

void restore_control(Control control, const ControlRequest& request, const SavedControl& saved)
{
    switch (control) {
    case Control::kBoost:
        SetThreadPriority(GetCurrentThread(), static_cast<int>(saved.value));
        break;
    case Control::kAffinity:
        SetThreadAffinityMask(GetCurrentThread(), static_cast<DWORD_PTR>(saved.value));
        break;
    case Control::kLockMemory:
        VirtualUnlock(request.memory, request.memory_bytes);
        break;
    case Control::kNoThrottling:
        set_throttling({1, static_cast<ULONG>(static_cast<uint64_t>(saved.value) >> 32),
                        static_cast<ULONG>(saved.value & 0xFFFFFFFF)});
        break;
    case Control::kMmcss: {
        static const auto revert = find_function<AvRevertFn>(L"avrt.dll", "AvRevertMmThreadCharacteristics", true);
        if (revert != nullptr) {
            revert(reinterpret_cast<HANDLE>(static_cast<intptr_t>(saved.value)));
        }
        break;
    }
    default:
        break;
    }
}

}  // namespace platform
