#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

#include "platform/platform.h"

namespace platform {

namespace {

constexpr DWORD kCreateWaitableTimerHighResolution = 0x2;
constexpr int64_t kHundredNsPerSecond = 10000000;

// A worker's last act drops the reference to the module that it was handed
// at its creation: until then, a host that unloads the library (the close
// does not wait for the worker) leaves the code under the worker in place.
DWORD WINAPI run_thread_routine(LPVOID routine)
{
    const DWORD exit_code = reinterpret_cast<ThreadRoutine>(routine)();
    FreeLibraryAndExitThread(reinterpret_cast<HMODULE>(&__ImageBase), exit_code);
}

}  // namespace

bool query_frequency(int64_t* counts_per_second)
{
    LARGE_INTEGER frequency{};
    const bool counter_exists = QueryPerformanceFrequency(&frequency) != 0;
    *counts_per_second = frequency.QuadPart;
    return counter_exists;
}

int64_t read_counter()
{
    LARGE_INTEGER reading;
    QueryPerformanceCounter(&reading);
    return reading.QuadPart;
}

void show_message_box(const char* text, const char* caption)
{
    MessageBoxA(nullptr, text, caption, MB_OK);
}

Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id)
{
    *thread_id = 0;
    // Taken here, before the thread can run: a reference the thread took
    // itself would leave the unload a moment to win the race.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&run_thread_routine), &module)) {
        return nullptr;
    }
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, run_thread_routine,
                                 reinterpret_cast<LPVOID>(routine), CREATE_SUSPENDED, &id);
    if (thread == nullptr) {
        FreeLibrary(module);
        return nullptr;
    }
    *thread_id = id;
    return thread;
}

void set_thread_priority(Handle thread, int priority)
{
    SetThreadPriority(thread, priority);
}

void resume_thread(Handle thread)
{
    ResumeThread(thread);
}

uint32_t current_thread_id()
{
    return GetCurrentThreadId();
}

Handle create_named_event(const char* name)
{
    return CreateEventA(nullptr, FALSE, FALSE, name);
}

void set_event(Handle event)
{
    SetEvent(event);
}

void reset_event(Handle event)
{
    ResetEvent(event);
}

uint32_t wait_for(Handle handle, uint32_t timeout_ms)
{
    return WaitForSingleObject(handle, timeout_ms);
}

void close_handle(Handle handle)
{
    CloseHandle(handle);
}

Handle create_sleep_timer()
{
    // High resolution from Windows 10 1803 on; earlier systems refuse the flag.
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    return timer;
}

void close_sleep_timer(Handle timer)
{
    CloseHandle(timer);
}

bool sleep_until(Handle timer, int64_t deadline_counts)
{
    const int64_t remaining_counts = deadline_counts - read_counter();
    if (remaining_counts <= 0) {
        return true;
    }
    static const int64_t frequency = [] {
        LARGE_INTEGER counts_per_second{};
        QueryPerformanceFrequency(&counts_per_second);
        return counts_per_second.QuadPart;
    }();
    // Relative, in 100 ns units, rounded up so that the wake is not early:
    // an absolute due time is on the wall clock, which moves when it is set.
    const int64_t remaining_100ns = remaining_counts / frequency * kHundredNsPerSecond +
                                    ((remaining_counts % frequency) * kHundredNsPerSecond + frequency - 1) / frequency;
    LARGE_INTEGER due{};
    due.QuadPart = -remaining_100ns;
    if (!SetWaitableTimerEx(timer, &due, 0, nullptr, nullptr, nullptr, 0)) {
        return true;
    }
    WaitForSingleObject(timer, INFINITE);
    return true;
}

Handle open_thread_clock()
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                    THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0);
    return thread;
}

void close_thread_clock(Handle thread)
{
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

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

// GetThreadTimes: 100 ns units, but it advances at the scheduler's tick
// (15.6 ms on Windows, 10 ms under Wine), which is enough for a figure read
// over seconds; QueryThreadCycleTime would count cycles, not time.
int64_t thread_cpu_ns(Handle thread)
{
    FILETIME created, exited, kernel, user;
    if (thread == nullptr || !GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
        return -1;
    }
    auto hundred_ns = [](const FILETIME& time) {
        return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    return (hundred_ns(kernel) + hundred_ns(user)) * 100;
}

}  // namespace platform
