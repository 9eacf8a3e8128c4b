// Linux: what a child of fork() must not share with its parent. The child's
// handler runs in its only thread, before fork() returns there.
#include <pthread.h>

#include "platform/linux_internal.h"
#include "platform/timers.h"

namespace platform {

namespace detail {

std::atomic<uint32_t> fork_generation{0};

}  // namespace detail

namespace {

void before_fork()
{
    detail::lock_latency_requests();
    detail::lock_thread_clocks();
    detail::lock_clock_memories();
}

void after_fork_in_parent()
{
    detail::unlock_clock_memories();
    detail::unlock_thread_clocks();
    detail::unlock_latency_requests();
}

void after_fork_in_child()
{
    detail::close_latency_requests_in_child();
    detail::reopen_clock_memories_in_child();
    after_fork_in_parent();
    detail::fork_generation.store(detail::fork_generation.load(std::memory_order_relaxed) + 1,
                                  std::memory_order_relaxed);
}

// glibc drops the handlers of a library that is unloaded.
__attribute__((constructor)) void watch_forks()
{
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

}  // namespace

}  // namespace platform
