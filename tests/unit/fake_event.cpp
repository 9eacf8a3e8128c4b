// Fake events, and the waits and closes that serve them and the threads.
#include <chrono>
#include <memory>

#include "fake_world.h"
#include "dropin/platform/event.h"

namespace platform {

using namespace fake;

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

WaitResult wait_for(Handle handle, uint32_t timeout_ms)
{
    World& w = world();
    std::unique_lock<std::mutex> lock(w.mutex);
    record(w, "wait_for", handle, timeout_ms);
    const auto thread = w.threads.find(handle);
    if (thread != w.threads.end()) {
        const std::shared_ptr<FakeThread> fake_thread = thread->second;
        const bool ended = w.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                              [&] { return fake_thread->ended; });
        return ended ? WaitResult::kSignalled : WaitResult::kTimedOut;
    }
    const auto event = w.events.find(handle);
    if (event == w.events.end()) {
        return WaitResult::kFailed;
    }
    if (w.force_event_waits) {
        return w.forced_event_wait_result;
    }
    const std::shared_ptr<FakeEvent> fake_event = event->second;
    if (!w.changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                            [&] { return fake_event->signalled; })) {
        return WaitResult::kTimedOut;
    }
    fake_event->signalled = false;
    return WaitResult::kSignalled;
}

void close_handle(Handle handle)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "close_handle", handle, 0);
    w.events.erase(handle);
    w.released.insert(handle);
}

}  // namespace platform
