// Windows: the workers, each holding the module loaded while it runs.
#include <windows.h>

extern "C" IMAGE_DOS_HEADER __ImageBase;

#include "dropin/platform/threads.h"

namespace platform {

namespace {

// A worker's last act drops the reference to the module that it was handed
// at its creation: until then, a host that unloads the library (the close
// does not wait for the worker) leaves the code under the worker in place.
DWORD WINAPI run_thread_routine(LPVOID routine)
{
    const DWORD exit_code = reinterpret_cast<ThreadRoutine>(routine)();
    FreeLibraryAndExitThread(reinterpret_cast<HMODULE>(&__ImageBase), exit_code);
}

}  // namespace

Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id)
{
    *thread_id = 0;
    // Taken here, before the thread can run: a reference the thread took
    // itself would leave the unload a moment to win the race.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&run_thread_routine), &module)) {
        return nullptr;
    }
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, run_thread_routine,
                                 reinterpret_cast<LPVOID>(routine), CREATE_SUSPENDED, &id);
    if (thread == nullptr) {
        FreeLibrary(module);
        return nullptr;
    }
    *thread_id = id;
    return thread;
}

void set_thread_priority(Handle thread, int priority)
{
    SetThreadPriority(thread, priority);
}

void resume_thread(Handle thread)
{
    ResumeThread(thread);
}

uint32_t current_thread_id()
{
    return GetCurrentThreadId();
}

}  // namespace platform
