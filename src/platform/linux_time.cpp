// Linux: CLOCK_MONOTONIC in nanoseconds is the counter; the pacer sleeps on
// it, and a thread's CPU clock measures the waiting thread.
#include <sys/prctl.h>
#include <time.h>

#include <pthread.h>

#include <cerrno>

#include "platform/linux_internal.h"

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
Handle create_sleep_timer()
{
    static char token;
    return &token;
}

void close_sleep_timer(Handle)
{
}

// The thread's timer slack (50 us by default) would add to every wake-up: it
// is lowered for the sleep alone, since the thread is the host's.
bool sleep_until(Handle, int64_t deadline_counts)
{
    const timespec deadline = to_timespec(deadline_counts);
    const int host_slack_ns = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
    int result = 0;
    do {
        result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    } while (result != 0 && result != EINTR);
    if (host_slack_ns > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(host_slack_ns), 0, 0, 0);
    }
    return result == 0;
}

// A thread's CPU clock id, kept in the handle's bits.
Handle open_thread_clock()
{
    clockid_t clock{};
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0) {
        return nullptr;
    }
    return reinterpret_cast<Handle>(static_cast<intptr_t>(clock));
}

void close_thread_clock(Handle)
{
}

int64_t thread_cpu_ns(Handle thread)
{
    timespec used{};
    if (thread == nullptr ||
        clock_gettime(static_cast<clockid_t>(reinterpret_cast<intptr_t>(thread)), &used) != 0) {
        return -1;
    }
    return static_cast<int64_t>(used.tv_sec) * kNanosecondsPerSecond + used.tv_nsec;
}

}  // namespace platform
