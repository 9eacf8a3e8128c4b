// Linux: the library's unload notification, run by dlclose and by exit. The
// close returns without waiting for the worker, so a worker may still be
// running the library's code here; unmapping that code under it would crash
// the host. (On Windows each worker holds the module loaded instead.)
#include "dropin/platform/unload.h"
#include "dropin/tick_worker.h"

namespace {

__attribute__((destructor)) void unload_library()
{
    stop_worker_at_unload();
    platform::release_at_unload();
}

}  // namespace
