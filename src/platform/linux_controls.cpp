// Linux: the pacer's controls act on the calling thread through the
// kernel's per-thread calls, where 0 names the caller.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sched.h>

#include <cerrno>

#include "platform/linux_internal.h"

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
        const cpu_set_t wanted = cpu_set_of(request.affinity_mask);
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
        const cpu_set_t previous = cpu_set_of(static_cast<uint64_t>(saved));
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

}  // namespace platform
