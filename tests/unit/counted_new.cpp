// The replacement pair lives in a file of its own: where GCC can inline this
// operator delete beside new-expressions, it pairs its free() with their
// operator new and reports a mismatch (-Wmismatched-new-delete, i686 MinGW),
// though both sides of the pair are these two functions.
#include "counted_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<uint64_t> allocations{0};
}

uint64_t counted_allocations()
{
    return allocations.load();
}

void* operator new(size_t bytes)
{
    allocations.fetch_add(1);
    if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) {
        return memory;
    }
    throw std::bad_alloc();
}

void operator delete(void* memory) noexcept
{
    std::free(memory);
}

void operator delete(void* memory, size_t) noexcept
{
    std::free(memory);
}
