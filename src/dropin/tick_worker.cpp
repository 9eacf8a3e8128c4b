#include "dropin/timer_state.h"
#include "dropin/platform/event.h"
#include "dropin/platform/threads.h"
#include "platform/counter.h"
#include "dropin/tick_event.h"
#include "dropin/tick_worker.h"
#include "varnex.h"

namespace {

constexpr int kWorkerPriorityByIndex[] = {
    platform::kThreadPriorityHighest,
    platform::kThreadPriorityAboveNormal,
    platform::kThreadPriorityNormal,
};

constexpr const char* kTickEventName = "MyTimerSignal";

// The worker's start routine. Its exit code is the low 32 bits of the elapsed
// count of its last spin, 0 if it completed none.
uint32_t RTTimerThread()
{
    const uint32_t worker_thread_id = platform::current_thread_id();
    int64_t reference_reading = platform::read_counter();
    int64_t latest_reading = reference_reading;
    int64_t last_elapsed_counts = 0;
    while (worker_owns_timer(worker_thread_id)) {
        const SpinEnd end = spin_wait(reference_reading, &latest_reading);
        reference_reading = end.end_reading;
        last_elapsed_counts = end.elapsed_counts;
        signal_tick_event(worker_thread_id);
    }
    return static_cast<uint32_t>(last_elapsed_counts);
}

void abandon_open()
{
    timer_state.nRunning.store(0);
    timer_state.dwTimerThreadId.store(0);
    timer_state.hTimerThread.store(nullptr);
}

}  // namespace

void* OpenRTTimer(long rate, int priorityIndex)
{
    if (!open_prologue(rate, priorityIndex)) {
        return nullptr;
    }
    // A timer still open is replaced: its worker stops at the top of its next
    // pass, once dwTimerThreadId names the new worker, and its event goes now.
    release_tick_event();
    timer_state.nRunning.store(1);
    set_threshold(rate);

    uint32_t worker_thread_id = 0;
    void* worker = platform::create_thread_suspended(RTTimerThread, &worker_thread_id);
    if (worker == nullptr) {
        abandon_open();
        return nullptr;
    }
    timer_state.hTimerThread.store(worker);
    timer_state.dwTimerThreadId.store(worker_thread_id);
    platform::set_thread_priority(worker, kWorkerPriorityByIndex[priorityIndex]);

    void* event = platform::create_named_event(kTickEventName);
    if (event == nullptr) {
        // The worker never becomes the owner: resumed, it ends before its
        // first spin. Its handle never reaches the host, so it is ours to close.
        abandon_open();
        platform::resume_thread(worker);
        platform::close_handle(worker);
        return nullptr;
    }
    open_tick_event_gate(event);
    timer_state.hTimerEvent.store(event);
    platform::resume_thread(worker);
    return worker;
}

short CloseRTTimer(void* handle)
{
    timer_state.nRunning.store(0);
    release_tick_event();
    return platform::wait_for(handle, 0) == platform::WaitResult::kSignalled ? -1 : 0;
}

void stop_worker_at_unload()
{
    timer_state.nRunning.store(0);
    timer_state.dwTimerThreadId.store(0);
    // The spin reads the threshold at every comparison: at 0 the spin in
    // progress ends at once, so that neither dlclose nor exit waits out a
    // period that may be a whole second long.
    timer_state.liThreshold.store(0);
}
