// Linux: the futex calls that the platform's waits are built on.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/linux_internal.h"

namespace platform::detail {

long futex_wait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* timeout, bool shared)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), shared ? FUTEX_WAIT : FUTEX_WAIT_PRIVATE,
                   expected, timeout, nullptr, 0);
}

long futex_wake(std::atomic<uint32_t>* word, int waiters, bool shared)
{
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), shared ? FUTEX_WAKE : FUTEX_WAKE_PRIVATE,
                   waiters, nullptr, nullptr, 0);
}

}  // namespace platform::detail
