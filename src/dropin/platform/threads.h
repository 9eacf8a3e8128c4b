// The threaded timer's worker thread: created suspended, given a priority,
// resumed; wait_for and close_handle serve it.
#ifndef VARNEX_DROPIN_PLATFORM_THREADS_H
#define VARNEX_DROPIN_PLATFORM_THREADS_H

#include <cstdint>

#include "dropin/platform/handles.h"
#include "platform/threads.h"

namespace platform {

constexpr int kThreadPriorityNormal = 0;
constexpr int kThreadPriorityAboveNormal = 1;
constexpr int kThreadPriorityHighest = 2;

// Start routine of a worker; its result becomes the thread's exit code.
using ThreadRoutine = uint32_t (*)();

// A thread that runs `routine` only once resumed; null on failure. While it
// runs it keeps the library's code loaded (Windows: it holds a reference to
// the module, taken here, and drops it as it exits).
Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id);
void set_thread_priority(Handle thread, int priority);
void resume_thread(Handle thread);

}  // namespace platform

#endif
