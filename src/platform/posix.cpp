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
#include <vector>

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

// A worker. Joinable: the handle reports the end only once the thread has
// left the library's code, so that a host may unload the library then.
struct ThreadObject {
    ThreadRoutine routine = nullptr;
    pthread_t pthread{};
    std::atomic<uint32_t> tid{0};
    std::atomic<uint32_t> resumed{0};
    std::atomic<uint32_t> routine_returned{0};
    bool joined = false;  // under HandleTable::mutex
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
        if (shared != nullptr) {
            munmap(shared, sizeof(SharedEvent));
        }
        if (fd >= 0) {
            close(fd);
        }
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
    // Threads not yet joined, whether or not a handle still names them.
    std::vector<std::shared_ptr<ThreadObject>> unjoined;
};

std::mutex handle_table_creation;
std::atomic<HandleTable*> handle_table_instance{nullptr};

HandleTable& handle_table()
{
    HandleTable* table = handle_table_instance.load(std::memory_order_acquire);
    if (table == nullptr) {
        std::lock_guard<std::mutex> lock(handle_table_creation);
        table = handle_table_instance.load();
        if (table == nullptr) {
            table = new HandleTable;
            handle_table_instance.store(table, std::memory_order_release);
        }
    }
    return *table;
}

// Joins the threads whose routine has returned; they are past the library's
// code or about to be. Called with table.mutex held; a finished worker never
// takes it.
void join_finished_threads(HandleTable& table)
{
    auto& unjoined = table.unjoined;
    for (auto thread = unjoined.begin(); thread != unjoined.end();) {
        if ((*thread)->routine_returned.load() != 0) {
            pthread_join((*thread)->pthread, nullptr);
            (*thread)->joined = true;
            thread = unjoined.erase(thread);
        } else {
            ++thread;
        }
    }
}

// At unload and at exit. A worker still running (its host exited without
// letting it end) is detached to die with the process, and then the table
// stays, since that worker may still signal through it; otherwise it is freed.
__attribute__((destructor)) void release_handle_table()
{
    HandleTable* table = handle_table_instance.load();
    if (table == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(table->mutex);
        join_finished_threads(*table);
        if (!table->unjoined.empty()) {
            for (const auto& thread : table->unjoined) {
                pthread_detach(thread->pthread);
            }
            table->unjoined.clear();
            return;
        }
    }
    handle_table_instance.store(nullptr);
    delete table;
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

uint32_t wait_for_thread(const std::shared_ptr<ThreadObject>& thread, uint32_t timeout_ms)
{
    const int64_t deadline_ns = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    while (thread->routine_returned.load() == 0) {
        const int64_t remaining_ns = deadline_ns - monotonic_ns();
        if (remaining_ns <= 0) {
            return kWaitTimeout;
        }
        const timespec remaining = to_timespec(remaining_ns);
        futex_wait(&thread->routine_returned, 0, &remaining, false);
    }
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    join_finished_threads(table);
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
    *thread_id = 0;
    auto thread = std::make_shared<ThreadObject>();
    thread->routine = routine;
    HandleTable& table = handle_table();
    {
        std::lock_guard<std::mutex> lock(table.mutex);
        // Workers whose handle nobody looks at again are joined here.
        join_finished_threads(table);
        if (pthread_create(&thread->pthread, nullptr, run_thread, thread.get()) != 0) {
            return nullptr;
        }
        table.unjoined.push_back(thread);
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
    // Appended piece by piece: GCC 12's "/" + std::string warns falsely (-Wrestrict) at -O3.
    std::string path = "/";
    path += name;
    path += ".";
    path += std::to_string(getuid());
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
        return wait_for_thread(object.thread, timeout_ms);
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
