// The fake counter, timers and clocks: the counter steps by a set amount on
// every read or follows a script; a sleep jumps it to its deadline plus the
// oversleep; the system clock follows the counter, with its slew and steps.
#include <algorithm>

#include "fake_world.h"
#include "platform/clocks.h"
#include "platform/timers.h"

namespace platform {

using namespace fake;

namespace detail {

std::atomic<uint32_t> fork_generation{0};

}  // namespace detail

bool query_frequency(int64_t* counts_per_second)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "query_frequency", nullptr, w.frequency);
    *counts_per_second = w.query_succeeds ? w.frequency : 0;
    return w.query_succeeds;
}

int64_t read_counter()
{
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    ++w.reads;
    if (w.reads == w.pause_at_read) {
        pause_here(w, lock);
    }
    if (!w.scripted_readings.empty()) {
        const int64_t reading = w.scripted_readings.front();
        w.scripted_readings.pop_front();
        w.next_reading = reading + w.step_per_read;
        return reading;
    }
    const int64_t reading = w.next_reading;
    w.next_reading += w.step_per_read;
    return reading;
}

SleepTimer* create_sleep_timer()
{
    return static_cast<SleepTimer*>(issue_recorded("create_sleep_timer"));
}

void close_sleep_timer(SleepTimer* timer)
{
    release_recorded("close_sleep_timer", timer);
}

// The counter jumps to the deadline plus the oversleep, as if the sleep woke
// then.
SleepResult sleep_until(SleepTimer* timer, int64_t deadline_counts)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "sleep_until", timer, deadline_counts);
    w.system_offset_ns += w.step_in_next_sleep_ns;
    w.step_in_next_sleep_ns = 0;
    if (w.interrupt_next_sleep) {
        w.interrupt_next_sleep = false;
        return SleepResult::kInterrupted;
    }
    if (w.fail_next_sleep) {
        w.fail_next_sleep = false;
        return SleepResult::kFailed;
    }
    w.next_reading = std::max(w.next_reading, deadline_counts + w.oversleep);
    return SleepResult::kReached;
}

ReadyTimer* create_ready_timer()
{
    return static_cast<ReadyTimer*>(issue_recorded("create_ready_timer"));
}

void close_ready_timer(ReadyTimer* timer)
{
    release_recorded("close_ready_timer", timer);
}

intptr_t ready_timer_host_handle(ReadyTimer* timer)
{
    return reinterpret_cast<intptr_t>(timer);
}

bool renew_ready_timer(ReadyTimer* timer)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "renew_ready_timer", timer, 0);
    return true;
}

void arm_ready_timer(ReadyTimer* timer, int64_t wake_counts)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "arm_ready_timer", timer, wake_counts);
}

ThreadClock* open_thread_clock()
{
    return static_cast<ThreadClock*>(issue_recorded("open_thread_clock"));
}

void close_thread_clock(ThreadClock* clock)
{
    release_recorded("close_thread_clock", clock);
}

// Not recorded, as counter reads are not: the statistics read it, and a
// test counts what reading them allocates.
int64_t thread_cpu_ns(ThreadClock*)
{
    return 0;
}

ClockAvailability system_clock_availability(SystemClock clock)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return clock == SystemClock::kTai ? w.tai : w.utc;
}

// Not recorded, as counter reads are not.
int64_t read_system_clock_ns(SystemClock)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    ++w.system_clock_reads;
    return system_ns_locked(w);
}

bool counter_slews_with_system_clock()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.clock_slews;
}

ClockSync system_clock_sync()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.clock_sync;
}

}  // namespace platform
