#include "fake_platform.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>

#include "dropin/timer_state.h"
#include "platform/platform.h"

namespace {

struct FakeThread {
    std::thread thread;
    bool resumed = false;
    bool ended = false;
    uint32_t exit_code = 0;
    uint32_t id = 0;
};

struct FakeEvent {
    bool signalled = false;
};

struct World {
    std::mutex mutex;
    std::condition_variable changed;
    int64_t frequency = 1000;
    bool query_succeeds = true;
    std::deque<int64_t> scripted_readings;
    int64_t next_reading = 0;
    int64_t step_per_read = 1;
    int64_t oversleep = 0;
    bool interrupt_next_sleep = false;
    bool fail_next_sleep = false;
    std::map<platform::Control, platform::ControlResult> control_results;
    // The system clock: its time at the counter's reading 0, its rate's
    // difference from the counter's, and steps.
    platform::ClockAvailability utc = platform::ClockAvailability::kAvailable;
    platform::ClockAvailability tai = platform::ClockAvailability::kMissing;
    bool clock_slews = true;
    int64_t system_offset_ns = 0;
    int64_t slew_ppm = 0;
    int64_t step_in_next_sleep_ns = 0;
    // A step that comes once the counter reaches a reading.
    int64_t step_at_reading = std::numeric_limits<int64_t>::max();
    int64_t step_at_reading_ns = 0;
    platform::ClockSync clock_sync{-1, -1};
    uint64_t system_clock_reads = 0;
    uint64_t reads = 0;
    uint64_t pause_at_read = 0;
    uint64_t set_event_calls = 0;
    uint64_t pause_at_set_event = 0;
    bool paused = false;
    bool fail_thread_creation = false;
    bool fail_event_creation = false;
    bool force_event_waits = false;
    uint32_t forced_event_wait_result = 0;
    std::vector<fake::Call> calls;
    std::vector<std::string> message_boxes;
    std::vector<fake::Call> uses_after_release;
    uintptr_t last_handle = 0x100;
    uint32_t last_thread_id = 1000;
    std::map<void*, std::shared_ptr<FakeThread>> threads;
    std::map<void*, std::shared_ptr<FakeEvent>> events;
    std::set<void*> released;
};

World& world()
{
    static World* instance = new World;
    return *instance;
}

thread_local uint32_t this_thread_id = 1;

void* next_handle(World& w)
{
    w.last_handle += 4;
    return reinterpret_cast<void*>(w.last_handle);
}

void record(World& w, const char* operation, void* handle, int64_t value)
{
    w.calls.push_back({operation, handle, value});
    if (handle != nullptr && w.released.count(handle) != 0) {
        w.uses_after_release.push_back({operation, handle, value});
    }
}

void pause_here(World& w, std::unique_lock<std::mutex>& lock)
{
    w.paused = true;
    w.changed.notify_all();
    w.changed.wait(lock, [&] { return !w.paused; });
}

// The system clock at the counter's next reading. The tests' frequencies
// divide 10^9.
int64_t system_ns_locked(const World& w)
{
    const int64_t counter_ns = w.next_reading * (platform::kNanosecondsPerSecond / w.frequency);
    const int64_t stepped_ns = w.next_reading >= w.step_at_reading ? w.step_at_reading_ns : 0;
    return w.system_offset_ns + stepped_ns + counter_ns + counter_ns * w.slew_ppm / 1000000;
}

}  // namespace

namespace platform {

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

void show_message_box(const char* text, const char* caption)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "show_message_box", nullptr, 0);
    w.message_boxes.push_back(std::string(caption) + ": " + text);
}

Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.fail_thread_creation) {
        w.fail_thread_creation = false;
        record(w, "create_thread_suspended", nullptr, 0);
        *thread_id = 0;
        return nullptr;
    }
    void* handle = next_handle(w);
    auto fake_thread = std::make_shared<FakeThread>();
    fake_thread->id = ++w.last_thread_id;
    fake_thread->thread = std::thread([&w, fake_thread, routine] {
        this_thread_id = fake_thread->id;
        {
            std::unique_lock<std::mutex> held(w.mutex);
            w.changed.wait(held, [&] { return fake_thread->resumed; });
        }
        const uint32_t exit_code = routine();
        std::lock_guard<std::mutex> ending(w.mutex);
        fake_thread->exit_code = exit_code;
        fake_thread->ended = true;
        w.changed.notify_all();
    });
    w.threads[handle] = fake_thread;
    *thread_id = fake_thread->id;
    record(w, "create_thread_suspended", handle, fake_thread->id);
    return handle;
}

void set_thread_priority(Handle thread, int priority)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "set_thread_priority", thread, priority);
}

void resume_thread(Handle thread)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "resume_thread", thread, 0);
    const auto found = w.threads.find(thread);
    if (found != w.threads.end()) {
        found->second->resumed = true;
        w.changed.notify_all();
    }
}

uint32_t current_thread_id()
{
    return this_thread_id;
}

Handle create_named_event(const char* name)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.fail_event_creation) {
        w.fail_event_creation = false;
        record(w, "create_named_event", nullptr, 0);
        return nullptr;
    }
    void* handle = next_handle(w);
    w.events[handle] = std::make_shared<FakeEvent>();
    record(w, "create_named_event", handle, std::string(name) == "MyTimerSignal" ? 1 : 0);
    return handle;
}

void set_event(Handle event)
{
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    record(w, "set_event", event, 0);
    if (++w.set_event_calls == w.pause_at_set_event) {
        pause_here(w, lock);
    }
    const auto found = w.events.find(event);
    if (found != w.events.end()) {
        found->second->signalled = true;
        w.changed.notify_all();
    }
}

void reset_event(Handle event)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "reset_event", event, 0);
    const auto found = w.events.find(event);
    if (found != w.events.end()) {
        found->second->signalled = false;
    }
}

uint32_t wait_for(Handle handle, uint32_t timeout_ms)
{
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    record(w, "wait_for", handle, timeout_ms);
    const auto thread = w.threads.find(handle);
    if (thread != w.threads.end()) {
        const std::shared_ptr<FakeThread> fake_thread = thread->second;
        const bool ended = w.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                              [&] { return fake_thread->ended; });
        return ended ? kWaitObject0 : kWaitTimeout;
    }
    const auto event = w.events.find(handle);
    if (event == w.events.end()) {
        return kWaitFailed;
    }
    if (w.force_event_waits) {
        return w.forced_event_wait_result;
    }
    const std::shared_ptr<FakeEvent> fake_event = event->second;
    if (!w.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return fake_event->signalled; })) {
        return kWaitTimeout;
    }
    fake_event->signalled = false;
    return kWaitObject0;
}

void close_handle(Handle handle)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "close_handle", handle, 0);
    w.events.erase(handle);
    w.released.insert(handle);
}

namespace {

// A handle of the sleep timers' or thread clocks' kind: recorded, and
// released by its close.
void* issue_recorded(const char* operation)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    void* handle = next_handle(w);
    record(w, operation, handle, 0);
    return handle;
}

void release_recorded(const char* operation, void* handle)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, operation, handle, 0);
    w.released.insert(handle);
}

}  // namespace

Handle create_sleep_timer()
{
    return issue_recorded("create_sleep_timer");
}

void close_sleep_timer(Handle timer)
{
    release_recorded("close_sleep_timer", timer);
}

// The counter jumps to the deadline plus the oversleep, as if the sleep woke
// then.
SleepResult sleep_until(Handle timer, int64_t deadline_counts)
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

Handle create_ready_timer()
{
    return issue_recorded("create_ready_timer");
}

void close_ready_timer(Handle timer)
{
    release_recorded("close_ready_timer", timer);
}

intptr_t ready_timer_host_handle(Handle timer)
{
    return reinterpret_cast<intptr_t>(timer);
}

namespace detail {

std::atomic<uint32_t> fork_generation{0};

}  // namespace detail

bool renew_ready_timer(Handle timer)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "renew_ready_timer", timer, 0);
    return true;
}

void arm_ready_timer(Handle timer, int64_t wake_counts)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "arm_ready_timer", timer, wake_counts);
}

constexpr std::align_val_t kPageAlignment{4096};

void* allocate_pages(size_t bytes)
{
    return ::operator new(bytes, kPageAlignment, std::nothrow);
}

void free_pages(void* pages, size_t)
{
    ::operator delete(pages, kPageAlignment);
}

bool affinity_usable(uint64_t mask)
{
    return mask != 0;
}

Handle create_affinity_store()
{
    return issue_recorded("create_affinity_store");
}

void close_affinity_store(Handle store)
{
    release_recorded("close_affinity_store", store);
}

ControlResult apply_control(Control control, const ControlRequest&, SavedControl* saved)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "apply_control", nullptr, static_cast<int64_t>(control));
    const auto found = w.control_results.find(control);
    const ControlResult result = found == w.control_results.end() ? ControlResult::kApplied : found->second;
    saved->value = 100 + static_cast<int64_t>(control);
    return result;
}

void restore_control(Control, const ControlRequest&, const SavedControl& saved)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "restore_control", nullptr, saved.value);
}

Handle open_thread_clock()
{
    return issue_recorded("open_thread_clock");
}

void close_thread_clock(Handle thread)
{
    release_recorded("close_thread_clock", thread);
}

// Not recorded, as counter reads are not: the statistics read it, and a
// test counts what reading them allocates.
int64_t thread_cpu_ns(Handle)
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

namespace fake {

void reset()
{
    World& w = world();
    timer_state.nRunning.store(0);
    timer_state.dwTimerThreadId.store(0);
    std::map<void*, std::shared_ptr<FakeThread>> threads;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.paused = false;
        w.pause_at_read = 0;
        w.pause_at_set_event = 0;
        for (auto& entry : w.threads) {
            entry.second->resumed = true;
        }
        w.changed.notify_all();
        threads.swap(w.threads);
    }
    for (auto& entry : threads) {
        entry.second->thread.join();
    }
    std::lock_guard<std::mutex> lock(w.mutex);
    w.frequency = 1000;
    w.query_succeeds = true;
    w.scripted_readings.clear();
    w.next_reading = 0;
    w.step_per_read = 1;
    w.oversleep = 0;
    w.interrupt_next_sleep = false;
    w.utc = platform::ClockAvailability::kAvailable;
    w.tai = platform::ClockAvailability::kMissing;
    w.clock_slews = true;
    w.system_offset_ns = 0;
    w.slew_ppm = 0;
    w.step_in_next_sleep_ns = 0;
    w.step_at_reading = std::numeric_limits<int64_t>::max();
    w.step_at_reading_ns = 0;
    w.clock_sync = {-1, -1};
    w.system_clock_reads = 0;
    w.reads = 0;
    w.set_event_calls = 0;
    w.fail_thread_creation = false;
    w.fail_event_creation = false;
    w.force_event_waits = false;
    w.calls.clear();
    w.message_boxes.clear();
    w.uses_after_release.clear();
    w.events.clear();
    w.released.clear();

    timer_state.liFrequency.store(0);
    timer_state.liThreshold.store(0);
    timer_state.hTimerEvent.store(nullptr);
    timer_state.hTimerThread.store(nullptr);
    timer_state.liPrevTick = 0;
    timer_state.liLastTick = 0;
    timer_state.liPrevTickLV = 0;
    timer_state.liLastTickLV = 0;
    timer_state.hGatedEvent.store(0);
}

void set_frequency(int64_t counts_per_second, bool query_succeeds)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.frequency = counts_per_second;
    w.query_succeeds = query_succeeds;
}

void set_system_clock(int64_t ns_at_counter_zero, int64_t slew_ppm, bool slews_with_counter)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.system_offset_ns = ns_at_counter_zero;
    w.slew_ppm = slew_ppm;
    w.clock_slews = slews_with_counter;
}

void step_system_clock(int64_t ns)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.system_offset_ns += ns;
}

void step_system_clock_at(int64_t reading, int64_t ns)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.step_at_reading = reading;
    w.step_at_reading_ns = ns;
}

void step_system_clock_in_next_sleep(int64_t ns)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.step_in_next_sleep_ns = ns;
}

void set_system_clock_availability(platform::SystemClock clock, platform::ClockAvailability availability)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    (clock == platform::SystemClock::kTai ? w.tai : w.utc) = availability;
}

void set_clock_sync(platform::ClockSync sync)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.clock_sync = sync;
}

int64_t system_clock_now_ns()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return system_ns_locked(w);
}

uint64_t system_clock_reads()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.system_clock_reads;
}

void script_readings(const std::vector<int64_t>& readings)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.scripted_readings.assign(readings.begin(), readings.end());
}

void set_oversleep(int64_t counts)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.oversleep = counts;
}

void fail_next_sleep()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.fail_next_sleep = true;
}

void interrupt_next_sleep()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.interrupt_next_sleep = true;
}

void set_control_result(platform::Control control, platform::ControlResult result)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.control_results[control] = result;
}

void set_counter(int64_t next_reading, int64_t step_per_read)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.next_reading = next_reading;
    w.step_per_read = step_per_read;
}

uint64_t reads()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.reads;
}

void pause_at_read(uint64_t read_number)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.pause_at_read = read_number;
}

void pause_at_set_event(uint64_t call_number)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.pause_at_set_event = call_number;
}

void wait_until_paused()
{
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    w.changed.wait(lock, [&] { return w.paused; });
}

void resume()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.paused = false;
    w.changed.notify_all();
}

void fail_next_thread_creation()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.fail_thread_creation = true;
}

void fail_next_event_creation()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.fail_event_creation = true;
}

void force_event_waits(uint32_t result)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.force_event_waits = true;
    w.forced_event_wait_result = result;
}

std::vector<Call> calls()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.calls;
}

std::vector<Call> calls_named(const std::string& operation)
{
    std::vector<Call> named;
    for (const Call& call : calls()) {
        if (call.operation == operation) {
            named.push_back(call);
        }
    }
    return named;
}

std::vector<std::string> message_boxes()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.message_boxes;
}

std::vector<Call> uses_after_release()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.uses_after_release;
}

bool thread_ended(void* thread)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.threads.find(thread);
    return found != w.threads.end() && found->second->ended;
}

uint32_t thread_exit_code(void* thread)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.threads.find(thread);
    return found == w.threads.end() ? 0 : found->second->exit_code;
}

int threads_running()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    int running = 0;
    for (const auto& entry : w.threads) {
        running += entry.second->ended ? 0 : 1;
    }
    return running;
}

bool wait_thread_end(void* thread, uint32_t timeout_ms)
{
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    const auto found = w.threads.find(thread);
    if (found == w.threads.end()) {
        return false;
    }
    const std::shared_ptr<FakeThread> fake_thread = found->second;
    return w.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [&] { return fake_thread->ended; });
}

bool event_signalled(void* event)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    const auto found = w.events.find(event);
    return found != w.events.end() && found->second->signalled;
}

int events_held()
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return static_cast<int>(w.events.size());
}

}  // namespace fake
