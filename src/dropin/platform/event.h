// The named event that the tick worker signals and the waits wait on, shared
// by name with other processes; wait_for and close_handle serve it.
#ifndef VARNEX_DROPIN_PLATFORM_EVENT_H
#define VARNEX_DROPIN_PLATFORM_EVENT_H

#include "dropin/platform/handles.h"

namespace platform {

// An auto-reset event, not signalled, shared by name with every other process
// (on Linux, every process of the same user) that creates one of the same
// name; null on failure.
Handle create_named_event(const char* name);
// Releases one waiting thread, or, with none waiting, leaves the event
// signalled (one signal at most). Takes no lock that another call takes:
// callers never signal an event they have closed or are closing.
void set_event(Handle event);
void reset_event(Handle event);

}  // namespace platform

#endif
