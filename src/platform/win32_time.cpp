// Windows: the performance counter, the waitable timer's sleep, the
// readiness handle, the system clock and the thread's CPU time.
#include <windows.h>

#include "platform/clocks.h"
#include "platform/timers.h"

namespace platform {

namespace {

constexpr DWORD kCreateWaitableTimerManualReset = 0x1;
constexpr DWORD kCreateWaitableTimerHighResolution = 0x2;
constexpr int64_t kHundredNsPerSecond = 10000000;

int64_t counter_frequency()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER counts_per_second{};
        QueryPerformanceFrequency(&counts_per_second);
        return counts_per_second.QuadPart;
    }();
    return frequency;
}

// Counts as 100 ns units, rounded up, so that the wake is not early.
int64_t counts_to_100ns(int64_t counts)
{
    const int64_t frequency = counter_frequency();
    return counts / frequency * kHundredNsPerSecond +
           ((counts % frequency) * kHundredNsPerSecond + frequency - 1) / frequency;
}

// From Windows 8 on; looked up, so that the DLL imports nothing newer than it
// did.
using PreciseTimeFunction = void(WINAPI*)(LPFILETIME);

PreciseTimeFunction precise_system_time()
{
    static const auto function = [] {
        HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
        return kernel32 == nullptr ? nullptr
                                   : reinterpret_cast<PreciseTimeFunction>(reinterpret_cast<void*>(
                                         GetProcAddress(kernel32, "GetSystemTimePreciseAsFileTime")));
    }();
    return function;
}

// 1601-01-01 to 1970-01-01, in 100 ns units.
constexpr int64_t kEpochDifference100ns = 116444736000000000;

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

// Each object is the HANDLE itself.
SleepTimer* create_sleep_timer()
{
    // High resolution from Windows 10 1803 on; earlier systems refuse the flag.
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerHighResolution, TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        timer = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
    }
    return static_cast<SleepTimer*>(timer);
}

void close_sleep_timer(SleepTimer* timer)
{
    CloseHandle(timer);
}

SleepResult sleep_until(SleepTimer* timer, int64_t deadline_counts)
{
    const int64_t remaining_counts = deadline_counts - read_counter();
    if (remaining_counts <= 0) {
        return SleepResult::kReached;
    }
    // Relative, from the counter: an absolute due time is on the wall clock,
    // which moves when it is set.
    const int64_t remaining_100ns = counts_to_100ns(remaining_counts);
    LARGE_INTEGER due{};
    due.QuadPart = -remaining_100ns;
    // A timer that was not set would never be signalled, or would return at
    // once and turn the sleep into a spin.
    if (!SetWaitableTimerEx(timer, &due, 0, nullptr, nullptr, nullptr, 0) ||
        WaitForSingleObject(timer, INFINITE) != WAIT_OBJECT_0) {
        return SleepResult::kFailed;
    }
    return SleepResult::kReached;
}

ReadyTimer* create_ready_timer()
{
    HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr,
                                          kCreateWaitableTimerManualReset | kCreateWaitableTimerHighResolution,
                                          TIMER_ALL_ACCESS);
    if (timer == nullptr) {
        timer = CreateWaitableTimerExW(nullptr, nullptr, kCreateWaitableTimerManualReset, TIMER_ALL_ACCESS);
    }
    return static_cast<ReadyTimer*>(timer);
}

void close_ready_timer(ReadyTimer* timer)
{
    CloseHandle(timer);
}

intptr_t ready_timer_host_handle(ReadyTimer* timer)
{
    return reinterpret_cast<intptr_t>(timer);
}

// Setting the timer resets it. Relative, as the sleep's.
namespace detail {

// Windows has no fork: the generation never changes.
std::atomic<uint32_t> fork_generation{0};

}  // namespace detail

bool renew_ready_timer(ReadyTimer*)
{
    return true;
}

void arm_ready_timer(ReadyTimer* timer, int64_t wake_counts)
{
    const int64_t remaining_counts = wake_counts - read_counter();
    LARGE_INTEGER due{};
    due.QuadPart = -(remaining_counts > 0 ? counts_to_100ns(remaining_counts) : 1);
    SetWaitableTimerEx(timer, &due, 0, nullptr, nullptr, nullptr, 0);
}

// No TAI here: the system time is UTC, with leap seconds where the system
// keeps them.
ClockAvailability system_clock_availability(SystemClock clock)
{
    if (clock == SystemClock::kTai) {
        return ClockAvailability::kUnsupported;
    }
    return precise_system_time() != nullptr ? ClockAvailability::kAvailable : ClockAvailability::kMissing;
}

int64_t read_system_clock_ns(SystemClock)
{
    FILETIME now{};
    precise_system_time()(&now);
    const auto since_1601 =
        static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return (since_1601 - kEpochDifference100ns) * 100;
}

// The system time is disciplined on its own; the counter is not.
bool counter_slews_with_system_clock()
{
    return false;
}

ClockSync system_clock_sync()
{
    return {-1, -1};
}

// The clock is a handle of the thread's own.
ThreadClock* open_thread_clock()
{
    HANDLE thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                    THREAD_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, 0);
    return static_cast<ThreadClock*>(thread);
}

void close_thread_clock(ThreadClock* clock)
{
    if (clock != nullptr) {
        CloseHandle(clock);
    }
}

// GetThreadTimes: 100 ns units, but it advances at the scheduler's tick
// (15.6 ms on Windows, 10 ms under Wine), which is enough for a figure read
// over seconds; QueryThreadCycleTime would count cycles, not time. It goes on
// answering for a thread that has ended, which the handle's signal tells.
int64_t thread_cpu_ns(ThreadClock* thread)
{
    FILETIME created, exited, kernel, user;
    if (thread == nullptr || WaitForSingleObject(thread, 0) != WAIT_TIMEOUT ||
        !GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
        return -1;
    }
    auto hundred_ns = [](const FILETIME& time) {
        return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    return (hundred_ns(kernel) + hundred_ns(user)) * 100;
}

}  // namespace platform
