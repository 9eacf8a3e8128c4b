// The fake pages: aligned to a page, as the real ones are.
#include <new>

#include "platform/pages.h"

namespace platform {

constexpr std::align_val_t kPageAlignment{4096};

void* allocate_pages(size_t bytes)
{
    return ::operator new(bytes, kPageAlignment, std::nothrow);
}

void free_pages(void* pages, size_t)
{
    ::operator delete(pages, kPageAlignment);
}

}  // namespace platform
