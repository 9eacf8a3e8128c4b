// Linux: the pacer's controls act on the calling thread through the
// kernel's per-thread calls, where 0 names the caller.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <sched.h>

#include <cerrno>
#include <mutex>

#include "platform/linux_internal.h"
#include "platform/controls.h"

namespace platform {

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

// The kernel's own size for a set of every CPU it may ever have, so that a
// thread's set is read and put back whole, above CPU 63 too.
size_t cpu_set_bytes()
{
    static const size_t bytes = CPU_ALLOC_SIZE(get_nprocs_conf());
    return bytes;
}

cpu_set_t cpu_set_of(uint64_t mask)
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    for (int cpu = 0; cpu < 64; ++cpu) {
        if ((mask >> cpu & 1) != 0) {
            CPU_SET(cpu, &cpus);
        }
    }
    return cpus;
}

// The timer slack, whole: glibc's prctl returns it as an int.
long timer_slack_ns()
{
    return syscall(SYS_prctl, PR_GET_TIMERSLACK, 0, 0, 0, 0);
}

// Each latency request is a descriptor that holds it while open: linked here
// while held, so that a forked child can close its copies.
std::mutex latency_requests_mutex;
SavedControl* latency_requests = nullptr;

void hold_latency_request(SavedControl* saved)
{
    std::lock_guard<std::mutex> lock(latency_requests_mutex);
    saved->previous_held = nullptr;
    saved->next_held = latency_requests;
    if (latency_requests != nullptr) {
        latency_requests->previous_held = saved;
    }
    latency_requests = saved;
}

void release_latency_request(const SavedControl& saved)
{
    std::lock_guard<std::mutex> lock(latency_requests_mutex);
    (saved.previous_held != nullptr ? saved.previous_held->next_held : latency_requests) = saved.next_held;
    if (saved.next_held != nullptr) {
        saved.next_held->previous_held = saved.previous_held;
    }
    // -1 in a child: its copy was closed at the fork.
    if (saved.value >= 0) {
        close(static_cast<int>(saved.value));
    }
}

}  // namespace

namespace detail {

void lock_latency_requests()
{
    latency_requests_mutex.lock();
}

void unlock_latency_requests()
{
    latency_requests_mutex.unlock();
}

// With the list locked, in the child's only thread.
void close_latency_requests_in_child()
{
    for (SavedControl* saved = latency_requests; saved != nullptr; saved = saved->next_held) {
        close(static_cast<int>(saved->value));
        saved->value = -1;
    }
}

}  // namespace detail

bool affinity_usable(uint64_t mask)
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        // More CPUs than a cpu_set_t holds: the kernel has the final word.
        return true;
    }
    const cpu_set_t wanted = cpu_set_of(mask);
    cpu_set_t usable;
    CPU_AND(&usable, &allowed, &wanted);
    return CPU_COUNT(&usable) > 0;
}

// The store is a cpu_set_t of the kernel's size.
AffinityStore* create_affinity_store()
{
    return reinterpret_cast<AffinityStore*>(CPU_ALLOC(get_nprocs_conf()));
}

void close_affinity_store(AffinityStore* store)
{
    CPU_FREE(reinterpret_cast<cpu_set_t*>(store));
}

ControlResult apply_control(Control control, const ControlRequest& request, SavedControl* saved)
{
    switch (control) {
    case Control::kBoost: {
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        saved->value = nice;
        return errno != 0 ? refused(errno)
               : setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -20) == 0 ? ControlResult::kApplied
                                                         : refused(errno);
    }
    case Control::kAffinity: {
        auto* previous = reinterpret_cast<cpu_set_t*>(request.affinity_store);
        if (previous == nullptr || sched_getaffinity(0, cpu_set_bytes(), previous) != 0) {
            return previous == nullptr ? ControlResult::kUnsupported : refused(errno);
        }
        const cpu_set_t wanted = cpu_set_of(request.affinity_mask);
        return sched_setaffinity(0, sizeof wanted, &wanted) == 0 ? ControlResult::kApplied : refused(errno);
    }
    case Control::kRealtime: {
        // SCHED_DEADLINE's runtime, deadline and period cannot be put back
        // through sched_setscheduler: such a thread is left as it is.
        const int policy = sched_getscheduler(0);
        if (policy != SCHED_OTHER && policy != SCHED_BATCH && policy != SCHED_IDLE && policy != SCHED_FIFO &&
            policy != SCHED_RR) {
            return policy < 0 ? refused(errno) : ControlResult::kUnsupported;
        }
        sched_param param{};
        sched_getparam(0, &param);
        saved->value = static_cast<int64_t>(policy) << 32 | static_cast<uint32_t>(param.sched_priority);
        // The kernel gives a real-time thread no slack, and a thread that
        // leaves real time the default slack, not its own.
        saved->timer_slack_ns = timer_slack_ns();
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
        saved->value = fd;
        hold_latency_request(saved);
        return ControlResult::kApplied;
    }
    default:
        return ControlResult::kUnsupported;
    }
}

void restore_control(Control control, const ControlRequest& request, const SavedControl& saved)
{
    switch (control) {
    case Control::kBoost:
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), static_cast<int>(saved.value));
        break;
    case Control::kAffinity:
        sched_setaffinity(0, cpu_set_bytes(), reinterpret_cast<cpu_set_t*>(request.affinity_store));
        break;
    case Control::kRealtime:
        set_policy(static_cast<int>(saved.value >> 32), static_cast<int>(saved.value & 0xFFFFFFFF));
        if (saved.timer_slack_ns > 0) {
            prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved.timer_slack_ns), 0, 0, 0);
        }
        break;
    case Control::kLockMemory:
        munlock(request.memory, request.memory_bytes);
        break;
    case Control::kDmaLatency:
        release_latency_request(saved);
        break;
    default:
        break;
    }
}

}  // namespace platform
