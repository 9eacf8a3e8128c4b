#include "fake_world.h"

#include <chrono>

#include "dropin/timer_state.h"

namespace fake {

thread_local uint32_t this_thread_id = 1;

World& world()
{
    static World* instance = new World;
    return *instance;
}

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

int64_t system_ns_locked(const World& w)
{
    const int64_t counter_ns = w.next_reading * (platform::kNanosecondsPerSecond / w.frequency);
    const int64_t stepped_ns = w.next_reading >= w.step_at_reading ? w.step_at_reading_ns : 0;
    return w.system_offset_ns + stepped_ns + counter_ns + counter_ns * w.slew_ppm / 1000000;
}

void* issue_recorded(const char* operation)
{
    return in_world([&](World& w) {
        void* handle = next_handle(w);
        record(w, operation, handle, 0);
        return handle;
    });
}

void release_recorded(const char* operation, void* handle)
{
    in_world([&](World& w) {
        record(w, operation, handle, 0);
        w.released.insert(handle);
    });
}

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
    // Handles and thread ids go on increasing: one from an earlier test is
    // never taken for a new one.
    const uintptr_t last_handle = w.last_handle;
    const uint32_t last_thread_id = w.last_thread_id;
    static_cast<WorldState&>(w) = WorldState{};
    w.last_handle = last_handle;
    w.last_thread_id = last_thread_id;

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
    in_world([&](World& w) { w.frequency = counts_per_second; w.query_succeeds = query_succeeds; });
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
    in_world([&](World& w) { w.system_offset_ns += ns; });
}

void step_system_clock_at(int64_t reading, int64_t ns)
{
    in_world([&](World& w) { w.step_at_reading = reading; w.step_at_reading_ns = ns; });
}

void step_system_clock_in_next_sleep(int64_t ns)
{
    in_world([&](World& w) { w.step_in_next_sleep_ns = ns; });
}

void set_system_clock_availability(platform::SystemClock clock, platform::ClockAvailability availability)
{
    in_world([&](World& w) { (clock == platform::SystemClock::kTai ? w.tai : w.utc) = availability; });
}

void set_clock_sync(platform::ClockSync sync)
{
    in_world([&](World& w) { w.clock_sync = sync; });
}

int64_t system_clock_now_ns()
{
    return in_world([&](World& w) { return system_ns_locked(w); });
}

uint64_t system_clock_reads()
{
    return in_world([&](World& w) { return w.system_clock_reads; });
}

void script_readings(const std::vector<int64_t>& readings)
{
    in_world([&](World& w) { w.scripted_readings.assign(readings.begin(), readings.end()); });
}

void set_oversleep(int64_t counts)
{
    in_world([&](World& w) { w.oversleep = counts; });
}

void fail_next_sleep()
{
    in_world([&](World& w) { w.fail_next_sleep = true; });
}

void interrupt_next_sleep()
{
    in_world([&](World& w) { w.interrupt_next_sleep = true; });
}

void set_control_result(platform::Control control, platform::ControlResult result)
{
    in_world([&](World& w) { w.control_results[control] = result; });
}

void set_counter(int64_t next_reading, int64_t step_per_read)
{
    in_world([&](World& w) { w.next_reading = next_reading; w.step_per_read = step_per_read; });
}

uint64_t reads()
{
    return in_world([&](World& w) { return w.reads; });
}

void pause_at_read(uint64_t read_number)
{
    in_world([&](World& w) { w.pause_at_read = read_number; });
}

void pause_at_set_event(uint64_t call_number)
{
    in_world([&](World& w) { w.pause_at_set_event = call_number; });
}

void wait_until_paused()
{
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    w.changed.wait(lock, [&] { return w.paused; });
}

void resume()
{
    in_world([&](World& w) { w.paused = false; w.changed.notify_all(); });
}

void fail_next_thread_creation()
{
    in_world([&](World& w) { w.fail_thread_creation = true; });
}

void fail_next_event_creation()
{
    in_world([&](World& w) { w.fail_event_creation = true; });
}

void force_event_waits(platform::WaitResult result)
{
    in_world([&](World& w) { w.force_event_waits = true; w.forced_event_wait_result = result; });
}

std::vector<Call> calls()
{
    return in_world([&](World& w) { return w.calls; });
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
    return in_world([&](World& w) { return w.message_boxes; });
}

std::vector<Call> uses_after_release()
{
    return in_world([&](World& w) { return w.uses_after_release; });
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
    return in_world([&](World& w) { return static_cast<int>(w.events.size()); });
}

}  // namespace fake
