// Linux: CLOCK_MONOTONIC in nanoseconds is the counter; the pacer sleeps on
// it, an aligned grid is on CLOCK_REALTIME or CLOCK_TAI, and a thread's CPU
// clock measures the waiting thread.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <mutex>
#include <new>

#include "platform/linux_internal.h"
#include "platform/clocks.h"
#include "platform/timers.h"

namespace platform {

namespace detail {

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

timespec to_timespec(int64_t duration_ns)
{
    return {static_cast<time_t>(duration_ns / kNanosecondsPerSecond),
            static_cast<long>(duration_ns % kNanosecondsPerSecond)};
}

}  // namespace detail

using detail::monotonic_ns;
using detail::to_timespec;

bool query_frequency(int64_t* counts_per_second)
{
    *counts_per_second = kNanosecondsPerSecond;
    return true;
}

int64_t read_counter()
{
    return monotonic_ns();
}

// Linux sleeps on CLOCK_MONOTONIC itself: the token only stands for a timer.
struct SleepTimer {};

SleepTimer* create_sleep_timer()
{
    static SleepTimer token;
    return &token;
}

void close_sleep_timer(SleepTimer*)
{
}

// The thread's timer slack (50 us by default) would add to every wake-up: it
// is lowered for the sleep alone, since the thread is the host's. A slack of
// 2^31 ns or more reaches us whole only through the syscall's long: glibc's
// prctl returns an int.
SleepResult sleep_until(SleepTimer*, int64_t deadline_counts)
{
    const timespec deadline = to_timespec(deadline_counts);
    const long host_slack_ns = syscall(SYS_prctl, PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
    const int result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    // A real-time thread reads 0 and has no slack to put back.
    if (host_slack_ns > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(host_slack_ns), 0, 0, 0);
    }
    return result == 0 ? SleepResult::kReached : result == EINTR ? SleepResult::kInterrupted : SleepResult::kFailed;
}

// The descriptor, plus one: descriptor 0 is a valid one.
ReadyTimer* create_ready_timer()
{
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    return fd < 0 ? nullptr : reinterpret_cast<ReadyTimer*>(static_cast<intptr_t>(fd) + 1);
}

intptr_t ready_timer_host_handle(ReadyTimer* timer)
{
    return reinterpret_cast<intptr_t>(timer) - 1;
}

void close_ready_timer(ReadyTimer* timer)
{
    close(static_cast<int>(ready_timer_host_handle(timer)));
}

// Setting the timer drops the expirations not yet read, and with them its
// readiness. An absolute time of 0 would disarm it: a past wake-up is
// armed for 1 ns, long gone.
void arm_ready_timer(ReadyTimer* timer, int64_t wake_counts)
{
    itimerspec due{};
    due.it_value = to_timespec(wake_counts > 0 ? wake_counts : 1);
    timerfd_settime(static_cast<int>(ready_timer_host_handle(timer)), TFD_TIMER_ABSTIME, &due, nullptr);
}

// The child's own timer takes the parent's descriptor number, so that what
// the host holds stays the handle; the copy of the parent's goes with it.
bool renew_ready_timer(ReadyTimer* timer)
{
    const int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const int held = static_cast<int>(ready_timer_host_handle(timer));
    const bool renewed = dup3(fd, held, O_CLOEXEC) == held;
    close(fd);
    return renewed;
}

namespace {

clockid_t clock_id(SystemClock clock)
{
    return clock == SystemClock::kTai ? CLOCK_TAI : CLOCK_REALTIME;
}

}  // namespace

// CLOCK_TAI reads as CLOCK_REALTIME until something (chrony's leapsectz,
// phc2sys) tells the kernel the offset: a grid on it would be a UTC grid
// under another name.
ClockAvailability system_clock_availability(SystemClock clock)
{
    timespec now{};
    if (clock_gettime(clock_id(clock), &now) != 0) {
        return ClockAvailability::kMissing;
    }
    if (clock == SystemClock::kTai) {
        timex state{};
        if (adjtimex(&state) < 0 || state.tai == 0) {
            return ClockAvailability::kMissing;
        }
    }
    return ClockAvailability::kAvailable;
}

int64_t read_system_clock_ns(SystemClock clock)
{
    timespec now{};
    clock_gettime(clock_id(clock), &now);
    return static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

bool counter_slews_with_system_clock()
{
    return true;
}

// A read-only adjtimex: no privilege needed.
ClockSync system_clock_sync()
{
    timex state{};
    if (adjtimex(&state) < 0) {
        return {-1, -1};
    }
    const auto error_us = static_cast<int32_t>(std::min<long>(state.esterror, INT32_MAX));
    return {(state.status & STA_UNSYNC) != 0 ? 0 : 1, error_us};
}

namespace {

struct ThreadClocks;

}  // namespace

// A thread's CPU clock names the thread by its id, which the kernel hands to
// a new thread once this one has ended: each clock is marked as its thread
// ends (by the thread's exit, through a thread_local) and then reads -1.
struct ThreadClock {
    clockid_t clock;
    std::atomic<bool> ended{false};
    // Within the thread's list until it ends or the clock is closed.
    ThreadClock* previous = nullptr;
    ThreadClock* next = nullptr;
    ThreadClocks* owner = nullptr;
};

namespace {

std::mutex thread_clocks_mutex;

struct ThreadClocks {
    ThreadClock* first = nullptr;

    void unlink(ThreadClock* clock)
    {
        (clock->previous != nullptr ? clock->previous->next : first) = clock->next;
        if (clock->next != nullptr) {
            clock->next->previous = clock->previous;
        }
        clock->owner = nullptr;
    }

    ~ThreadClocks()
    {
        std::lock_guard<std::mutex> lock(thread_clocks_mutex);
        while (first != nullptr) {
            first->ended.store(true, std::memory_order_release);
            unlink(first);
        }
    }
};

thread_local ThreadClocks this_thread_clocks;

}  // namespace

namespace detail {

void lock_thread_clocks()
{
    thread_clocks_mutex.lock();
}

void unlock_thread_clocks()
{
    thread_clocks_mutex.unlock();
}

}  // namespace detail

ThreadClock* open_thread_clock()
{
    clockid_t id{};
    if (pthread_getcpuclockid(pthread_self(), &id) != 0) {
        return nullptr;
    }
    auto* clock = new (std::nothrow) ThreadClock;
    if (clock == nullptr) {
        return nullptr;
    }
    clock->clock = id;
    std::lock_guard<std::mutex> lock(thread_clocks_mutex);
    ThreadClocks& clocks = this_thread_clocks;
    clock->next = clocks.first;
    if (clocks.first != nullptr) {
        clocks.first->previous = clock;
    }
    clocks.first = clock;
    clock->owner = &clocks;
    return clock;
}

void close_thread_clock(ThreadClock* clock)
{
    {
        std::lock_guard<std::mutex> lock(thread_clocks_mutex);
        if (clock->owner != nullptr) {
            clock->owner->unlink(clock);
        }
    }
    delete clock;
}

int64_t thread_cpu_ns(ThreadClock* clock)
{
    timespec used{};
    if (clock == nullptr || clock->ended.load(std::memory_order_acquire) ||
        clock_gettime(clock->clock, &used) != 0) {
        return -1;
    }
    return static_cast<int64_t>(used.tv_sec) * kNanosecondsPerSecond + used.tv_nsec;
}

}  // namespace platform
