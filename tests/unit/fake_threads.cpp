// Fake worker threads: real threads that run their routine once resumed.
#include <memory>
#include <thread>

#include "fake_world.h"
#include "dropin/platform/threads.h"

namespace platform {

using namespace fake;

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

}  // namespace platform
