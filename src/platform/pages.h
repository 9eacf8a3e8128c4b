// The pacer's own memory: whole pages that nothing else shares, so that
// locking and unlocking them touches no neighbour's (Linux: a mapping of its
// own; Windows: VirtualAlloc).
#ifndef VARNEX_PLATFORM_PAGES_H
#define VARNEX_PLATFORM_PAGES_H

#include <cstddef>

namespace platform {

// Null on failure.
void* allocate_pages(size_t bytes);
void free_pages(void* pages, size_t bytes);

}  // namespace platform

#endif
