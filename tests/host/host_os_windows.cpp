#include "host_os.h"

#include <windows.h>

#include <tlhelp32.h>

#include "varnex_dll.h"

namespace host {

double seconds_now()
{
    return ::seconds_now();
}

void sleep_for(double seconds)
{
    Sleep(static_cast<DWORD>(seconds * 1000));
}

std::set<unsigned> thread_ids()
{
    std::set<unsigned> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            ids.insert(entry.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
    return ids;
}

bool hold_thread(unsigned id)
{
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, id);
    const bool held = thread != nullptr && SuspendThread(thread) != static_cast<DWORD>(-1);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    return held;
}

void release_thread(unsigned id)
{
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, id);
    if (thread != nullptr) {
        ResumeThread(thread);
        CloseHandle(thread);
    }
}

void release_worker_handle(void* timer)
{
    CloseHandle(timer);
}

struct Peer {
    HANDLE process;
};

Peer* start_peer(const std::string& arguments)
{
    HANDLE process = ::start_peer(arguments);
    return process == nullptr ? nullptr : new Peer{process};
}

// The peer's exit code is its count; 1000000 and above report a failure.
int finish_peer(Peer* peer)
{
    if (peer == nullptr) {
        return -1;
    }
    const DWORD exit_code = ::finish_peer(peer->process);
    delete peer;
    return exit_code < 1000000 ? static_cast<int>(exit_code) : -1;
}

}  // namespace host
