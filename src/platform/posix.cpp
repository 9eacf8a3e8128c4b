// Linux: CLOCK_MONOTONIC in nanoseconds for the counter, pthreads for the
// worker, and a futex word in POSIX shared memory for the named event, so
// that processes of one user share ticks as they do on Windows.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

namespace platform {

namespace {

constexpr int64_t kNanosecondsPerSecond = 1000000000;

// Windows raises a thread by priority levels within its process's class; here
// the worker's nice value is lowered by this much below the process's.
constexpr int kNiceBelowProcessByPriority[] = {0, 5, 10};

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

// Returns when *word may have changed from `expected` (or on time-out, or a
// signal); callers re-check.
void futex_wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout, bool shared)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), shared ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE,
            expected, timeout, nullptr, 0);
}

void futex_wake(std::atomic<uint32_t>* word, int waiters, bool shared)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE,
            waiters, nullptr, nullptr, 0);
}

struct ThreadObject {
    ThreadRoutine routine = nullptr;
    std::atomic<uint32_t> tid{0};
    std::atomic<uint32_t> resumed{0};
    std::atomic<uint32_t> ended{0};
};

// The page every process maps for one event name.
struct SharedEvent {
    std::atomic<uint32_t> signalled;
};

struct EventObject {
    int fd = -1;
    SharedEvent* shared = nullptr;
    ~EventObject()
    {
        munmap(shared, sizeof(SharedEvent));
        close(fd);
    }
};

struct HandleObject {
    std::shared_ptr<ThreadObject> thread;
    std::shared_ptr<EventObject> event;
};

// Handles are numbers, never pointers, so that a wrong value from a host
// finds nothing instead of memory.
struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, HandleObject> objects;
    uintptr_t last_handle = 0;
};

// Never destroyed: a worker may outlive the host's exit sequence.
HandleTable& handle_table()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

Handle add_handle(HandleObject object)
{
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.last_handle += 4;
    table.objects.emplace(table.last_handle, std::move(object));
    return reinterpret_cast<Handle>(table.last_handle);
}

HandleObject find_handle(Handle handle)
{
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.objects.end() ? HandleObject{} : found->second;
}

void* run_thread(void* argument)
{
    const std::unique_ptr<std::shared_ptr<ThreadObject>> owner(
        static_cast<std::shared_ptr<ThreadObject>*>(argument));
    const std::shared_ptr<ThreadObject> thread = *owner;
    thread->tid.store(static_cast<uint32_t>(gettid()));
    futex_wake(&thread->tid, 1, false);
    while (thread->resumed.load() == 0) {
        futex_wait(&thread->resumed, 0, nullptr, false);
    }
    thread->routine();
    thread->ended.store(1);
    futex_wake(&thread->ended, INT32_MAX, false);
    return nullptr;
}

uint32_t wait_for_thread(ThreadObject& thread, uint32_t timeout_ms)
{
    const int64_t deadline_ns = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    while (thread.ended.load() == 0) {
        const int64_t remaining_ns = deadline_ns - monotonic_ns();
        if (remaining_ns <= 0) {
            return kWaitTimeout;
        }
        const timespec remaining = to_timespec(remaining_ns);
        futex_wait(&thread.ended, 0, &remaining, false);
    }
    return kWaitObject0;
}

uint32_t wait_for_event(SharedEvent& event, uint32_t timeout_ms)
{
    const int64_t deadline_ns = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        uint32_t signalled = 1;
        // Auto-reset: the waiter that takes the signal clears it.
        if (event.signalled.compare_exchange_strong(signalled, 0)) {
            return kWaitObject0;
        }
        const int64_t remaining_ns = deadline_ns - monotonic_ns();
        if (remaining_ns <= 0) {
            return kWaitTimeout;
        }
        const timespec remaining = to_timespec(remaining_ns);
        futex_wait(&event.signalled, 0, &remaining, true);
    }
}

}  // namespace

bool query_frequency(int64_t* counts_per_second)
{
    *counts_per_second = kNanosecondsPerSecond;
    return true;
}

int64_t read_counter()
{
    return monotonic_ns();
}

void show_message_box(const char* text, const char* caption)
{
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id)
{
    auto thread = std::make_shared<ThreadObject>();
    thread->routine = routine;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t pthread;
    auto* owner = new std::shared_ptr<ThreadObject>(thread);
    const int failed = pthread_create(&pthread, &attributes, run_thread, owner);
    pthread_attr_destroy(&attributes);
    if (failed != 0) {
        delete owner;
        *thread_id = 0;
        return nullptr;
    }
    // The id is known only once the thread runs; it then holds until resumed.
    while (thread->tid.load() == 0) {
        futex_wait(&thread->tid, 0, nullptr, false);
    }
    *thread_id = thread->tid.load();
    return add_handle({thread, nullptr});
}

void set_thread_priority(Handle handle, int priority)
{
    const HandleObject object = find_handle(handle);
    if (!object.thread || priority < kThreadPriorityNormal || priority > kThreadPriorityHighest) {
        return;
    }
    errno = 0;
    const int process_nice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
    if (errno != 0) {
        return;
    }
    // Refused without CAP_SYS_NICE; like SetThreadPriority's result, ignored.
    // Never a real-time policy: a thread that never sleeps would be throttled.
    setpriority(PRIO_PROCESS, object.thread->tid.load(),
                process_nice - kNiceBelowProcessByPriority[priority]);
}

void resume_thread(Handle handle)
{
    const HandleObject object = find_handle(handle);
    if (object.thread) {
        object.thread->resumed.store(1);
        futex_wake(&object.thread->resumed, 1, false);
    }
}

uint32_t current_thread_id()
{
    return static_cast<uint32_t>(gettid());
}

Handle create_named_event(const char* name)
{
    // One object per user: another user's object of the same name would be
    // unreadable at mode 0600.
    const std::string path = "/" + std::string(name) + "." + std::to_string(getuid());
    auto event = std::make_shared<EventObject>();
    event->fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (event->fd < 0) {
        return nullptr;
    }
    if (ftruncate(event->fd, sizeof(SharedEvent)) != 0) {
        return nullptr;
    }
    void* page = mmap(nullptr, sizeof(SharedEvent), PROT_READ | PROT_WRITE, MAP_SHARED, event->fd, 0);
    if (page == MAP_FAILED) {
        return nullptr;
    }
    event->shared = static_cast<SharedEvent*>(page);
    // Every holder keeps a shared lock, so the first creator, the one that
    // gets the exclusive lock, knows the object is not in use and starts it
    // unsignalled. The kernel drops the lock of a process that was killed.
    if (flock(event->fd, LOCK_EX | LOCK_NB) == 0) {
        event->shared->signalled.store(0);
    }
    flock(event->fd, LOCK_SH);
    return add_handle({nullptr, event});
}

void set_event(Handle handle)
{
    const HandleObject object = find_handle(handle);
    if (object.event) {
        object.event->shared->signalled.store(1);
        futex_wake(&object.event->shared->signalled, 1, true);
    }
}

void reset_event(Handle handle)
{
    const HandleObject object = find_handle(handle);
    if (object.event) {
        object.event->shared->signalled.store(0);
    }
}

uint32_t wait_for(Handle handle, uint32_t timeout_ms)
{
    const HandleObject object = find_handle(handle);
    if (object.thread) {
        return wait_for_thread(*object.thread, timeout_ms);
    }
    if (object.event) {
        return wait_for_event(*object.event->shared, timeout_ms);
    }
    return kWaitFailed;
}

void close_handle(Handle handle)
{
    HandleTable& table = handle_table();
    HandleObject released;
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (found != table.objects.end()) {
        released = std::move(found->second);
        table.objects.erase(found);
    }
}

}  // namespace platform
