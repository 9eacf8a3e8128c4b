// The fake platform's one world, which every fake service and every test
// control shares, behind one mutex.
#ifndef VARNEX_FAKE_WORLD_H
#define VARNEX_FAKE_WORLD_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"
#include "platform/clocks.h"
#include "platform/controls.h"
#include "dropin/platform/event.h"

namespace fake {

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

// Everything a test sets or a call records; reset() puts back a new one.
struct WorldState {
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
    platform::WaitResult forced_event_wait_result = platform::WaitResult::kSignalled;
    std::vector<fake::Call> calls;
    std::vector<std::string> message_boxes;
    std::vector<fake::Call> uses_after_release;
    // Every handle has both low bits set, and bit 31 sign-extended as 64-bit
    // Windows may give it: the drop-in timers' gate may take no bit of a
    // handle for its own state.
    uintptr_t last_handle = static_cast<uintptr_t>(intptr_t{INT32_MIN} + 0x103);
    uint32_t last_thread_id = 1000;
    std::map<void*, std::shared_ptr<FakeThread>> threads;
    std::map<void*, std::shared_ptr<FakeEvent>> events;
    std::set<void*> released;
};

struct World : WorldState {
    std::mutex mutex;
    std::condition_variable changed;
};

World& world();
// The fake's own identity for the calling thread: 1, or a worker's id.
extern thread_local uint32_t this_thread_id;

void* next_handle(World& w);
// Each call below is made with the world's mutex held.
void record(World& w, const char* operation, void* handle, int64_t value);
void pause_here(World& w, std::unique_lock<std::mutex>& lock);
// The system clock at the counter's next reading. The tests' frequencies
// divide 10^9.
int64_t system_ns_locked(const World& w);

// An object of the pacer's services (a timer, a thread clock, an affinity
// store): recorded, and released by its close.
void* issue_recorded(const char* operation);
void release_recorded(const char* operation, void* handle);

// Runs `change` on the world with its mutex held; returns what it returns.
template <typename Change>
auto in_world(Change change)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    return change(w);
}

}  // namespace fake

#endif
