#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

DWORD WINAPI run_thread_routine(LPVOID routine)
{
    return reinterpret_cast<ThreadRoutine>(routine)();
}

}  // namespace

bool query_frequency(int64_t* counts_per_second)
{
    LARGE_INTEGER frequency{};
    const bool counter_exists = QueryPerformanceFrequency(&frequency) != 0;
    *counts_per_second = frequency.QuadPart;
    return counter_exists;
}

int64_t read_counter()
{
    LARGE_INTEGER reading;
    QueryPerformanceCounter(&reading);
    return reading.QuadPart;
}

void show_message_box(const char* text, const char* caption)
{
    MessageBoxA(nullptr, text, caption, MB_OK);
}

Handle create_thread_suspended(ThreadRoutine routine, uint32_t* thread_id)
{
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, run_thread_routine,
                                 reinterpret_cast<LPVOID>(routine), CREATE_SUSPENDED, &id);
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

Handle create_named_event(const char* name)
{
    return CreateEventA(nullptr, FALSE, FALSE, name);
}

void set_event(Handle event)
{
    SetEvent(event);
}

void reset_event(Handle event)
{
    ResetEvent(event);
}

uint32_t wait_for(Handle handle, uint32_t timeout_ms)
{
    return WaitForSingleObject(handle, timeout_ms);
}

void close_handle(Handle handle)
{
    CloseHandle(handle);
}

}  // namespace platform
