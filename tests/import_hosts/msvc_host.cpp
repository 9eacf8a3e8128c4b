// A host built in the MSVC ABI (clang for *-pc-windows-msvc, linked by
// lld-link against Varnex.lib) with no C runtime: its own entry point, a
// bump allocator for `new`, and ExitProcess from KERNEL32.
#include <stddef.h>

#include "host_checks.h"

extern "C" {
// The MSVC ABI's marker that floating point is used, normally from the CRT.
int _fltused = 0;
__declspec(dllimport) void __stdcall ExitProcess(unsigned int exit_code);
}

namespace {
alignas(16) char arena[256];
size_t arena_used = 0;
}  // namespace

void* operator new(size_t size)
{
    void* block = arena + arena_used;
    arena_used += (size + 15) & ~static_cast<size_t>(15);
    return block;
}

void operator delete(void*) noexcept {}
void operator delete(void*, size_t) noexcept {}

extern "C" void host_entry()
{
    ExitProcess(static_cast<unsigned int>(run_host_checks()));
}
