// Linux: workers are pthreads that hold until resumed; their nice value
// stands for Windows' thread priority.
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

#include "dropin/platform/linux_handles.h"

namespace platform {

namespace detail {

void join_finished_threads(HandleTable& table)
{
    for (auto entry = table.threads.begin(); entry != table.threads.end();) {
        if (entry->second->routine_returned.load() != 0) {
            pthread_join(entry->second->pthread, nullptr);
            entry = table.threads.erase(entry);
        } else {
            ++entry;
        }
    }
}

WaitResult wait_for_thread(const std::shared_ptr<ThreadObject>& thread, uint32_t timeout_ms)
{
    const int64_t deadline_ns = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    while (thread->routine_returned.load() == 0) {
        const int64_t remaining_ns = deadline_ns - monotonic_ns();
        if (remaining_ns <= 0) {
            return WaitResult::kTimedOut;
        }
        const timespec remaining = to_timespec(remaining_ns);
        futex_wait(&thread->routine_returned, 0, &remaining, false);
    }
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    join_finished_threads(table);
    return WaitResult::kSignalled;
}

}  // namespace detail

using namespace detail;

namespace {

// Windows raises a thread by priority levels within its process's class; here
// the worker's nice value is lowered by this much below the process's.
constexpr int kNiceBelowProcessByPriority[] = {0, 5, 10};

void* run_thread(void* argument)
{
    // The table's reference keeps the record alive until the join.
    auto* thread = static_cast<ThreadObject*>(argument);
    thread->tid.store(static_cast<uint32_t>(gettid()));
    futex_wake(&thread->tid, 1, false);
    while (thread->resumed.load() == 0) {
        futex_wait(&thread->resumed, 0, nullptr, false);
    }
    thread->routine();
    thread->routine_returned.store(1);
    futex_wake(&thread->routine_returned, INT32_MAX, false);
    return nullptr;
}

}  // namespace

Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id)
{
    *thread_id = 0;
    auto thread = std::make_shared<ThreadObject>();
    thread->routine = routine;
    HandleTable& table = handle_table();
    uintptr_t handle = 0;
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        // Workers whose handle nobody looks at again are joined here.
        join_finished_threads(table);
        if (pthread_create(&thread->pthread, nullptr, run_thread, thread.get()) != 0) {
            return nullptr;
        }
        handle = issue_handle(table, kThreadHandleTag);
        table.threads.emplace(handle, thread);
    }
    // The id is known only once the thread runs; it then holds until resumed.
    while (thread->tid.load() == 0) {
        futex_wait(&thread->tid, 0, nullptr, false);
    }
    *thread_id = thread->tid.load();
    return reinterpret_cast<Handle>(handle);
}

void set_thread_priority(Handle handle, int priority)
{
    const std::shared_ptr<ThreadObject> thread = find_thread(handle);
    if (!thread || priority < kThreadPriorityNormal || priority > kThreadPriorityHighest) {
        return;
    }
    errno = 0;
    const int process_nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (errno != 0) {
        return;
    }
    // Refused without CAP_SYS_NICE; like SetThreadPriority's result, ignored.
    // Never a real-time policy: a thread that never sleeps would be throttled.
    setpriority(PRIO_PROCESS, thread->tid.load(), process_nice - kNiceBelowProcessByPriority[priority]);
}

void resume_thread(Handle handle)
{
    const std::shared_ptr<ThreadObject> thread = find_thread(handle);
    if (thread) {
        thread->resumed.store(1);
        futex_wake(&thread->resumed, 1, false);
    }
}

uint32_t current_thread_id()
{
    return static_cast<uint32_t>(gettid());
}

}  // namespace platform
