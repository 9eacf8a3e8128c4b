// The named event that the tick worker signals and the waits wait on, shared
// by name with other processes; the wait and the close serve the worker's
// thread handle too. The drop-in timers alone use it.
#ifndef VARNEX_PLATFORM_EVENT_H
#define VARNEX_PLATFORM_EVENT_H

#include <cstdint>

#include "platform/counter.h"

namespace platform {

enum class WaitResult { kSignalled, kTimedOut, kFailed };

// An auto-reset event, not signalled, shared by name with every other process
// (on Linux, every process of the same user) that creates one of the same
// name; null on failure.
Handle create_named_event(const char* name);
// Releases one waiting thread, or, with none waiting, leaves the event
// signalled (one signal at most). Takes no lock that another call takes:
// callers never signal an event they have closed or are closing.
void set_event(Handle event);
void reset_event(Handle event);

// kSignalled once an event is signalled (consuming the signal) or a thread
// has ended.
WaitResult wait_for(Handle handle, uint32_t timeout_ms);
void close_handle(Handle handle);

}  // namespace platform

#endif
