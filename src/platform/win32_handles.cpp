// Windows: waits on and releases of the events' and threads' handles.
#include <windows.h>

#include "platform/event.h"

namespace platform {

uint32_t wait_for(Handle handle, uint32_t timeout_ms)
{
    return WaitForSingleObject(handle, timeout_ms);
}

void close_handle(Handle handle)
{
    CloseHandle(handle);
}

}  // namespace platform
