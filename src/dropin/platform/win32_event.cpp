// Windows: the tick event is a kernel event, shared by name.
#include <windows.h>

#include "dropin/platform/event.h"

namespace platform {

Handle create_named_event(const char* name)
{
    return CreateEventA(nullptr, FALSE, FALSE, name);
}

void set_event(Handle event)
{
    SetEvent(event);
}

void reset_event(Handle event)
{
    ResetEvent(event);
}

}  // namespace platform
