// Windows: waits on and releases of the events' and threads' handles.
#include <windows.h>

#include "dropin/platform/handles.h"

namespace platform {

WaitResult wait_for(Handle handle, uint32_t timeout_ms)
{
    switch (WaitForSingleObject(handle, timeout_ms)) {
    case WAIT_OBJECT_0:
        return WaitResult::kSignalled;
    case WAIT_TIMEOUT:
        return WaitResult::kTimedOut;
    default:
        return WaitResult::kFailed;
    }
}

void close_handle(Handle handle)
{
    CloseHandle(handle);
}

}  // namespace platform
