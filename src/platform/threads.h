// The calling thread's id, which both products use.
#ifndef VARNEX_PLATFORM_THREADS_H
#define VARNEX_PLATFORM_THREADS_H

#include <cstdint>

namespace platform {

// Unique among the process's live threads.
uint32_t current_thread_id();

}  // namespace platform

#endif
