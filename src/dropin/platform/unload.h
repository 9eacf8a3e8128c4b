// What the module hooks ask of the platform as the library unloads.
#ifndef VARNEX_DROPIN_PLATFORM_UNLOAD_H
#define VARNEX_DROPIN_PLATFORM_UNLOAD_H

namespace platform {

// Linux, as the library unloads, once every worker has been told to stop:
// returns once none of them runs the library's code, and frees what this
// layer holds. (Windows needs none: each worker keeps the module loaded.)
void release_at_unload();

}  // namespace platform

#endif
