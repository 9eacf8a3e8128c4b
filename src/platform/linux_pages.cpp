// Linux: the pacer's pages are a mapping of its own.
#include <sys/mman.h>

#include "platform/pages.h"

namespace platform {

// munmap also drops the mapping's lock.
void* allocate_pages(size_t bytes)
{
    void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void free_pages(void* pages, size_t bytes)
{
    munmap(pages, bytes);
}

}  // namespace platform
