// A platform the unit tests drive: a counter whose frequency and readings the
// test sets, threads that really run once resumed, events whose waits a test
// can make time out or fail, and a record of every call except counter and
// CPU-time reads.
#ifndef VARNEX_FAKE_PLATFORM_H
#define VARNEX_FAKE_PLATFORM_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform/clocks.h"
#include "platform/controls.h"
#include "dropin/platform/event.h"

namespace fake {

struct Call {
    std::string operation;
    void* handle;
    int64_t value;
};

// Back to a counter at 0 that steps by 1 per read, frequency 1000, no
// failures, an empty record. Ends every thread of the previous test first.
void reset();

void set_frequency(int64_t counts_per_second, bool query_succeeds = true);
// Readings come from the script first, then step on from its last value.
void script_readings(const std::vector<int64_t>& readings);
void set_counter(int64_t next_reading, int64_t step_per_read);
uint64_t reads();
// A sleep wakes this many counts after the reading it was asked to wake at.
void set_oversleep(int64_t counts);
// The next sleep returns at once, as if a signal had interrupted it.
void interrupt_next_sleep();
// The next sleep is refused, as a timer the system would not set.
void fail_next_sleep();
// The system clock reads ns_at_counter_zero plus the counter's time, which
// it gains slew_ppm parts per million on; it is slewed with the counter, or
// runs apart from it (Windows). UTC is available and TAI missing until set.
void set_system_clock(int64_t ns_at_counter_zero, int64_t slew_ppm = 0, bool slews_with_counter = true);
void step_system_clock(int64_t ns);
// The clock steps by `ns` once the counter reaches `reading`.
void step_system_clock_at(int64_t reading, int64_t ns);
// The clock steps by `ns` while the next sleep sleeps.
void step_system_clock_in_next_sleep(int64_t ns);
void set_system_clock_availability(platform::SystemClock clock, platform::ClockAvailability availability);
void set_clock_sync(platform::ClockSync sync);
// The clock at the counter's next reading, without a read.
int64_t system_clock_now_ns();
uint64_t system_clock_reads();
// What apply_control reports for `control` (kApplied until set). An applied
// control saves 100 + its number, for its restore to hand back.
void set_control_result(platform::Control control, platform::ControlResult result);

// The read numbered `read_number` (counting from 1), or the set_event call
// numbered `call_number`, blocks in its thread until resume();
// wait_until_paused() returns once it blocks.
void pause_at_read(uint64_t read_number);
void pause_at_set_event(uint64_t call_number);
void wait_until_paused();
void resume();

void fail_next_thread_creation();
void fail_next_event_creation();
// Every later wait on an event returns `result` at once.
void force_event_waits(platform::WaitResult result);
std::vector<Call> calls();
std::vector<Call> calls_named(const std::string& operation);
std::vector<std::string> message_boxes();
// Calls that used a handle after close_handle released it.
std::vector<Call> uses_after_release();

bool thread_ended(void* thread);
uint32_t thread_exit_code(void* thread);
int threads_running();
// Waits until the thread has ended; false after `timeout_ms`.
bool wait_thread_end(void* thread, uint32_t timeout_ms);
bool event_signalled(void* event);
int events_held();

}  // namespace fake

#endif
