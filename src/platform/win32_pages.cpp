// Windows: the pacer's pages come from VirtualAlloc.
#include <windows.h>

#include "platform/pages.h"

namespace platform {

void* allocate_pages(size_t bytes)
{
    return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void free_pages(void* pages, size_t)
{
    VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace platform
