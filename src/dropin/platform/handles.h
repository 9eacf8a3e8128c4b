// The drop-in timers' handles, as Windows' HANDLEs: their events and their
// workers are waited on and released through the same two calls.
#ifndef VARNEX_DROPIN_PLATFORM_HANDLES_H
#define VARNEX_DROPIN_PLATFORM_HANDLES_H

#include <cstdint>

namespace platform {

using Handle = void*;

enum class WaitResult { kSignalled, kTimedOut, kFailed };

// kSignalled once an event is signalled (consuming the signal) or a thread
// has ended.
WaitResult wait_for(Handle handle, uint32_t timeout_ms);
void close_handle(Handle handle);

}  // namespace platform

#endif
