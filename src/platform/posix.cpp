// Linux: CLOCK_MONOTONIC in nanoseconds for the counter, pthreads for the
// worker, and a futex word in POSIX shared memory for the named event, so
// that processes of one user share ticks as they do on Windows.
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/platform.h"

namespace platform {

namespace {

// Windows raises a thread by priority levels within its process's class; here
// the worker's nice value is lowered by this much below the process's.
constexpr int kNiceBelowProcessByPriority[] = {0, 5, 10};

// Handles are numbers, never pointers, so that a wrong value from a host
// finds nothing instead of memory. They are issued in an increasing series:
// serial << 3, plus kThreadHandleTag for a thread.
constexpr uintptr_t kThreadHandleTag = 4;
constexpr uintptr_t kHandleKindBits = 7;

// Events alive at once in one process: the timer's, and one for each worker
// held from outside inside its signal. An open beyond that fails cleanly.
constexpr int kEventSlots = 16;

// Another process of this user holds the event's lock exclusively only while
// it starts the event; one that keeps it fails our open instead of hanging it.
constexpr int kLockAttempts = 200;
constexpr long kLockRetryNs = 1000000;

// Where glibc's shm_open keeps its objects.
constexpr const char* kShmDirectory = "/dev/shm";

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

// 0 when a FUTEX_WAKE took this thread off the word's queue; otherwise (the
// word was not `expected`, time-out, a signal) -1. Callers re-check.
long futex_wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout, bool shared)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), shared ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE,
                   expected, timeout, nullptr, 0);
}

// The number of waiters taken off the queue.
long futex_wake(std::atomic<uint32_t>* word, int waiters, bool shared)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE,
                   waiters, nullptr, nullptr, 0);
}

struct ThreadObject {
    ThreadRoutine routine = nullptr;
    pthread_t pthread{};
    std::atomic<uint32_t> tid{0};
    std::atomic<uint32_t> resumed{0};
    std::atomic<uint32_t> routine_returned{0};
};

// The page every process of the user maps for one event name. `pending` is
// the signal kept while no one waits; waiting threads are the futex's queue,
// which the kernel keeps exact, dropping a waiter that dies.
struct SharedEvent {
    std::atomic<uint32_t> pending;
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

// set_event's lookup, without a lock: written under the table's mutex, read
// by the worker. A slot is emptied only by close_handle, which never runs
// while a set_event on the same event does.
struct EventSlot {
    std::atomic<uintptr_t> handle{0};
    std::atomic<EventObject*> event{nullptr};
};

struct HandleTable {
    std::mutex mutex;
    uintptr_t last_serial = 0;
    // Until joined. A thread's entry then goes, and its handle reports the
    // end by its number alone: memory stays flat however many opens a host
    // makes, although it can never close a thread handle.
    std::unordered_map<uintptr_t, std::shared_ptr<ThreadObject>> threads;
    std::unordered_map<uintptr_t, std::shared_ptr<EventObject>> events;
    EventSlot event_slots[kEventSlots];
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

uintptr_t issue_handle(HandleTable& table, uintptr_t tag)
{
    return (++table.last_serial << 3) | tag;
}

bool issued_thread_handle(const HandleTable& table, uintptr_t handle)
{
    return (handle & kHandleKindBits) == kThreadHandleTag && (handle >> 3) >= 1 &&
           (handle >> 3) <= table.last_serial;
}

// Joins the threads whose routine has returned; they are past the library's
// code or about to be. Called with table.mutex held; a finished worker never
// takes it.
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

std::shared_ptr<ThreadObject> find_thread(Handle handle)
{
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.threads.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.threads.end() ? nullptr : found->second;
}

std::shared_ptr<EventObject> find_event(Handle handle)
{
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.events.find(reinterpret_cast<uintptr_t>(handle));
    return found == table.events.end() ? nullptr : found->second;
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

// As Windows' auto-reset event: a signal goes to one waiting thread, any one,
// or, with none waiting, is kept (one at most) for the next wait.
void signal_event(SharedEvent& event)
{
    if (futex_wake(&event.pending, 1, true) == 1) {
        return;
    }
    // A waiter about to sleep finds the word changed and takes the signal.
    event.pending.store(1);
    // One that fell asleep between the wake and the store would sleep on
    // beside the kept signal: it is woken as the signal's taker, and the
    // signal is taken back (unless a waiter arriving in the same instant
    // took it first: then both are released).
    if (futex_wake(&event.pending, 1, true) == 1) {
        uint32_t kept = 1;
        event.pending.compare_exchange_strong(kept, 0);
    }
}

uint32_t wait_for_event(SharedEvent& event, uint32_t timeout_ms)
{
    const int64_t deadline_ns = monotonic_ns() + static_cast<int64_t>(timeout_ms) * 1000000;
    for (;;) {
        uint32_t pending = 1;
        if (event.pending.compare_exchange_strong(pending, 0)) {
            return kWaitObject0;
        }
        const int64_t remaining_ns = deadline_ns - monotonic_ns();
        if (remaining_ns <= 0) {
            return kWaitTimeout;
        }
        const timespec remaining = to_timespec(remaining_ns);
        // Woken: a signal handed its tick to this waiter and kept nothing.
        if (futex_wait(&event.pending, 0, &remaining, true) == 0) {
            return kWaitObject0;
        }
    }
}

// The open fails; the host learns why on stderr, as it learns of a failed
// open's message box.
void refuse_event(const std::string& path, const std::string& reason)
{
    std::fprintf(stderr, "Varnex: the tick event %s%s is not used: %s\n", kShmDirectory, path.c_str(),
                 reason.c_str());
}

// This user's event file, created at 0600 or found; anything else at the path
// is refused. /dev/shm is world-writable: a file another user put there could
// be signalled, truncated (SIGBUS on the next tick) or locked by that user.
int open_private_event_file(const std::string& path)
{
    int fd = shm_open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
        // The umask may have taken bits that every process of the user needs.
        fchmod(fd, 0600);
        return fd;
    }
    // Without O_CREAT, so that fs.protected_regular cannot refuse the open of
    // a file that is ours; shm_open adds O_NOFOLLOW.
    if (errno == EEXIST) {
        fd = shm_open(path.c_str(), O_RDWR, 0);
    }
    if (fd < 0) {
        const int open_error = errno;
        // shm_open turns EISDIR into EINVAL, and a link gives ELOOP.
        struct stat status {};
        const bool irregular = lstat((kShmDirectory + path).c_str(), &status) == 0 && !S_ISREG(status.st_mode);
        refuse_event(path, irregular ? "not a regular file" : std::strerror(open_error));
        return -1;
    }
    struct stat status {};
    std::string reason;
    if (fstat(fd, &status) != 0) {
        reason = std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        reason = "not a regular file";
    } else if (status.st_uid != geteuid()) {
        reason = "owned by uid " + std::to_string(status.st_uid) + ", not by this user";
    } else if ((status.st_mode & 07777) != 0600) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        reason = std::string("mode ") + mode + ", not 0600";
    }
    if (!reason.empty()) {
        refuse_event(path, reason);
        close(fd);
        return -1;
    }
    return fd;
}

bool take_shared_lock(int fd)
{
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
        if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
            return true;
        }
        const timespec pause{0, kLockRetryNs};
        nanosleep(&pause, nullptr);
    }
    return false;
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

Handle create_named_event(const char* name)
{
    // A function of the user alone, so that every process of the user finds
    // it, whatever its environment.
    // Appended piece by piece: GCC 12's "/" + std::string warns falsely (-Wrestrict) at -O3.
    std::string path = "/";
    path += name;
    path += ".";
    path += std::to_string(geteuid());
    auto event = std::make_shared<EventObject>();
    event->fd = open_private_event_file(path);
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
        event->shared->pending.store(0);
    }
    if (!take_shared_lock(event->fd)) {
        refuse_event(path, "another process keeps it locked");
        return nullptr;
    }
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    for (EventSlot& slot : table.event_slots) {
        if (slot.handle.load() == 0) {
            const uintptr_t handle = issue_handle(table, 0);
            slot.event.store(event.get());
            slot.handle.store(handle);
            table.events.emplace(handle, std::move(event));
            return reinterpret_cast<Handle>(handle);
        }
    }
    return nullptr;
}

void set_event(Handle handle)
{
    // No lock: a worker held here from outside must not hold up the host.
    HandleTable* table = handle_table_instance.load(std::memory_order_acquire);
    if (table == nullptr) {
        return;
    }
    for (const EventSlot& slot : table->event_slots) {
        if (slot.handle.load() == reinterpret_cast<uintptr_t>(handle)) {
            signal_event(*slot.event.load()->shared);
            return;
        }
    }
}

void reset_event(Handle handle)
{
    const std::shared_ptr<EventObject> event = find_event(handle);
    if (event) {
        event->shared->pending.store(0);
    }
}

uint32_t wait_for(Handle handle, uint32_t timeout_ms)
{
    if (const std::shared_ptr<EventObject> event = find_event(handle)) {
        return wait_for_event(*event->shared, timeout_ms);
    }
    if (const std::shared_ptr<ThreadObject> thread = find_thread(handle)) {
        return wait_for_thread(thread, timeout_ms);
    }
    // A thread handle that was issued and is no longer in the table: its
    // thread has ended and been joined.
    HandleTable& table = handle_table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return issued_thread_handle(table, reinterpret_cast<uintptr_t>(handle)) ? kWaitObject0 : kWaitFailed;
}

void close_handle(Handle handle)
{
    // A thread's entry stays until the thread is joined.
    HandleTable& table = handle_table();
    std::shared_ptr<EventObject> released;
    std::lock_guard<std::mutex> lock(table.mutex);
    const auto found = table.events.find(reinterpret_cast<uintptr_t>(handle));
    if (found == table.events.end()) {
        return;
    }
    released = std::move(found->second);
    table.events.erase(found);
    for (EventSlot& slot : table.event_slots) {
        if (slot.handle.load() == reinterpret_cast<uintptr_t>(handle)) {
            slot.handle.store(0);
            slot.event.store(nullptr);
        }
    }
}

// Linux sleeps on CLOCK_MONOTONIC itself: the token only stands for a timer.
Handle create_sleep_timer()
{
    static char token;
    return &token;
}

void close_sleep_timer(Handle)
{
}

// The thread's timer slack (50 us by default) would add to every wake-up: it
// is lowered for the sleep alone, since the thread is the host's.
bool sleep_until(Handle, int64_t deadline_counts)
{
    const timespec deadline = to_timespec(deadline_counts);
    const int host_slack_ns = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
    int result = 0;
    do {
        result = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    } while (result != 0 && result != EINTR);
    if (host_slack_ns > 0) {
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(host_slack_ns), 0, 0, 0);
    }
    return result == 0;
}

namespace {

ControlResult refused(int error)
{
    return error == EPERM || error == EACCES ? ControlResult::kDenied : ControlResult::kUnsupported;
}

// The kernel's per-thread scheduling calls take a thread id; 0 is the caller.
ControlResult set_policy(int policy, int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    return sched_setscheduler(0, policy, &param) == 0 ? ControlResult::kApplied : refused(errno);
}

}  // namespace

ControlResult apply_control(Control control, const ControlRequest& request, int64_t* saved)
{
    switch (control) {
    case Control::kBoost: {
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        *saved = nice;
        return errno != 0 ? refused(errno)
               : setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -20) == 0 ? ControlResult::kApplied
                                                         : refused(errno);
    }
    case Control::kAffinity: {
        cpu_set_t previous;
        CPU_ZERO(&previous);
        if (sched_getaffinity(0, sizeof previous, &previous) != 0) {
            return refused(errno);
        }
        uint64_t previous_mask = 0;
        for (int cpu = 0; cpu < 64; ++cpu) {
            previous_mask |= CPU_ISSET(cpu, &previous) ? uint64_t{1} << cpu : 0;
        }
        *saved = static_cast<int64_t>(previous_mask);
        cpu_set_t wanted;
        CPU_ZERO(&wanted);
        for (int cpu = 0; cpu < 64; ++cpu) {
            if ((request.affinity_mask >> cpu & 1) != 0) {
                CPU_SET(cpu, &wanted);
            }
        }
        return sched_setaffinity(0, sizeof wanted, &wanted) == 0 ? ControlResult::kApplied : refused(errno);
    }
    case Control::kRealtime: {
        const int policy = sched_getscheduler(0);
        sched_param param{};
        sched_getparam(0, &param);
        *saved = static_cast<int64_t>(policy) << 32 | static_cast<uint32_t>(param.sched_priority);
        return set_policy(SCHED_FIFO, static_cast<int>(request.realtime_priority));
    }
    case Control::kLockMemory:
        return mlock(request.memory, request.memory_bytes) == 0 ? ControlResult::kApplied
               : errno == ENOMEM                               ? ControlResult::kDenied
                                                               : refused(errno);
    case Control::kDmaLatency: {
        // The request holds while the file stays open.
        const int fd = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            return errno == ENOENT ? ControlResult::kUnsupported : refused(errno);
        }
        const auto latency_us = static_cast<int32_t>(request.dma_latency_us);
        if (write(fd, &latency_us, sizeof latency_us) != static_cast<ssize_t>(sizeof latency_us)) {
            const int error = errno;
            close(fd);
            return refused(error);
        }
        *saved = fd;
        return ControlResult::kApplied;
    }
    default:
        return ControlResult::kUnsupported;
    }
}

void restore_control(Control control, const ControlRequest& request, int64_t saved)
{
    switch (control) {
    case Control::kBoost:
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), static_cast<int>(saved));
        break;
    case Control::kAffinity: {
        cpu_set_t previous;
        CPU_ZERO(&previous);
        for (int cpu = 0; cpu < 64; ++cpu) {
            if ((static_cast<uint64_t>(saved) >> cpu & 1) != 0) {
                CPU_SET(cpu, &previous);
            }
        }
        sched_setaffinity(0, sizeof previous, &previous);
        break;
    }
    case Control::kRealtime:
        set_policy(static_cast<int>(saved >> 32), static_cast<int>(saved & 0xFFFFFFFF));
        break;
    case Control::kLockMemory:
        munlock(request.memory, request.memory_bytes);
        break;
    case Control::kDmaLatency:
        close(static_cast<int>(saved));
        break;
    default:
        break;
    }
}

// A thread's CPU clock id, kept in the handle's bits.
Handle open_thread_clock()
{
    clockid_t clock{};
    if (pthread_getcpuclockid(pthread_self(), &clock) != 0) {
        return nullptr;
    }
    return reinterpret_cast<Handle>(static_cast<intptr_t>(clock));
}

void close_thread_clock(Handle)
{
}

int64_t thread_cpu_ns(Handle thread)
{
    timespec used{};
    if (thread == nullptr ||
        clock_gettime(static_cast<clockid_t>(reinterpret_cast<intptr_t>(thread)), &used) != 0) {
        return -1;
    }
    return static_cast<int64_t>(used.tv_sec) * kNanosecondsPerSecond + used.tv_nsec;
}

void release_at_unload()
{
    HandleTable* table = handle_table_instance.exchange(nullptr);
    if (table == nullptr) {
        return;
    }
    // Every worker has been told to stop and ends within microseconds; each
    // is joined, so none is left running code that is about to be unmapped.
    for (auto& [handle, thread] : table->threads) {
        while (thread->routine_returned.load() == 0) {
            futex_wait(&thread->routine_returned, 0, nullptr, false);
        }
        pthread_join(thread->pthread, nullptr);
    }
    delete table;
}

}  // namespace platform
