#include "host_os.h"

#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

#include "windows_binding.h"

namespace host {

namespace {

constexpr DWORD kBoxSearchLimitMs = 60000;
constexpr DWORD kPeerLimitMs = 60000;

}  // namespace

int64_t counter_hz()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

double seconds_now()
{
    LARGE_INTEGER reading;
    QueryPerformanceCounter(&reading);
    return static_cast<double>(reading.QuadPart) / static_cast<double>(counter_hz());
}

void sleep_for(double seconds)
{
    Sleep(static_cast<DWORD>(seconds * 1000));
}

int placeholder_variable()
{
    const VarnexDll dll = load_varnex(BindBy::kName);
    const int count = dll.nVarnex == nullptr ? -1 : *dll.nVarnex;
    FreeLibrary(dll.module);
    return count;
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

int open_descriptors()
{
    return -1;
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

bool release_ended_workers(std::vector<void*>& timers)
{
    bool all_ended = true;
    for (void* timer : timers) {
        all_ended = WaitForSingleObject(timer, 5000) == WAIT_OBJECT_0 && all_ended;
        CloseHandle(timer);
    }
    timers.clear();
    return all_ended;
}

int worker_priority(void* timer, unsigned)
{
    return GetThreadPriority(timer);
}

int expected_worker_priority(int priority_index)
{
    const int priorities[] = {THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_NORMAL};
    return priorities[priority_index];
}

// Up to THREAD_PRIORITY_HIGHEST needs no privilege.
bool may_raise_thread_priority()
{
    return true;
}

int stress_cycles()
{
    return 1000;
}

bool handle_ready(intptr_t handle)
{
    return WaitForSingleObject(reinterpret_cast<HANDLE>(handle), 0) == WAIT_OBJECT_0;
}

// A thread that looks for the box captioned "Info", reads it and dismisses it
// with OK.
struct OpenReportWatch::State {
    HANDLE thread = nullptr;
    volatile LONG stop = 0;
    volatile LONG dismissing = 0;
    std::string report;
};

namespace {

DWORD WINAPI dismiss_box(LPVOID state_pointer)
{
    auto* state = static_cast<OpenReportWatch::State*>(state_pointer);
    const DWORD start_ms = GetTickCount();
    HWND box = nullptr;
    while (box == nullptr && InterlockedCompareExchange(&state->stop, 0, 0) == 0 &&
           GetTickCount() - start_ms < kBoxSearchLimitMs) {
        box = FindWindowA(nullptr, "Info");
        if (box == nullptr) {
            Sleep(20);
        }
    }
    if (box == nullptr) {
        return 1;
    }
    char caption[256] = {};
    char text[256] = {};
    GetWindowTextA(box, caption, sizeof caption);
    // The message text is the box's static control with id 0xFFFF.
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    state->report = std::string(caption) + ": " + text + "\n";
    InterlockedExchange(&state->dismissing, 1);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

}  // namespace

OpenReportWatch::OpenReportWatch() : state_(new State)
{
    state_->thread = CreateThread(nullptr, 0, dismiss_box, state_, 0, nullptr);
}

OpenReportWatch::~OpenReportWatch()
{
    report();
    delete state_;
}

// An open that returned before its box was dismissed reports nothing: the box
// must hold the open until the user answers it.
std::string OpenReportWatch::report()
{
    if (state_->thread != nullptr) {
        const bool shown_before = InterlockedCompareExchange(&state_->dismissing, 0, 0) != 0;
        InterlockedExchange(&state_->stop, 1);
        WaitForSingleObject(state_->thread, INFINITE);
        CloseHandle(state_->thread);
        state_->thread = nullptr;
        if (!shown_before) {
            state_->report.clear();
        }
    }
    return state_->report;
}

bool signal_tick_event()
{
    HANDLE outside = OpenEventA(EVENT_MODIFY_STATE, FALSE, "MyTimerSignal");
    const bool signalled = outside != nullptr && SetEvent(outside);
    if (outside != nullptr) {
        CloseHandle(outside);
    }
    return signalled;
}

LoadedVarnex load_varnex_library()
{
    const VarnexDll dll = load_varnex(BindBy::kOrdinal);
    LoadedVarnex loaded;
    loaded.module = dll.module;
    loaded.open = dll.OpenRTTimer;
    loaded.wait = dll.WaitForRTTimer;
    loaded.close = dll.CloseRTTimer;
    return loaded;
}

bool unload_varnex_library(const LoadedVarnex& loaded)
{
    return FreeLibrary(static_cast<HMODULE>(loaded.module)) != 0;
}

bool varnex_library_loaded()
{
    return GetModuleHandleA("Varnex.dll") != nullptr;
}

struct Peer {
    HANDLE process;
};

namespace {

// The peer the test driver started beside this process with `arguments`
// (tests/windows/run-beside-peer.sh): it waits for "VarnexPeerGo".
HANDLE release_peer_beside(const std::string& arguments, const char* driver_arguments, HANDLE ready)
{
    std::printf("timer_peer.exe %s runs beside this process, started by the test driver: "
                "an emulated 32-bit process cannot start another\n",
                driver_arguments);
    if (arguments != driver_arguments) {
        std::printf("but this test needs timer_peer.exe %s\n", arguments.c_str());
        return nullptr;
    }
    HANDLE go = CreateEventA(nullptr, FALSE, FALSE, "VarnexPeerGo");
    SetEvent(go);
    const bool became_ready = WaitForSingleObject(ready, kPeerLimitMs) == WAIT_OBJECT_0;
    CloseHandle(go);
    if (!became_ready) {
        return nullptr;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    HANDLE peer = nullptr;
    for (BOOL more = Process32First(snapshot, &entry); more && peer == nullptr;
         more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, "timer_peer.exe") == 0) {
            peer = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return peer;
}

HANDLE start_peer_process(const std::string& arguments, HANDLE ready)
{
    if (const char* driver_arguments = std::getenv("VARNEX_PEER_BESIDE")) {
        return release_peer_beside(arguments, driver_arguments, ready);
    }
    std::string command = "timer_peer.exe " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(ready, kPeerLimitMs);
    return process.hProcess;
}

}  // namespace

// The peer signals "VarnexPeerReady" once its timer (or mutex) is there.
Peer* start_peer(const std::string& arguments)
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "VarnexPeerReady");
    HANDLE process = start_peer_process(arguments, ready);
    CloseHandle(ready);
    return process == nullptr ? nullptr : new Peer{process};
}

// The peer's exit code is its count; 1000000 and above report a failure.
int finish_peer(Peer* peer)
{
    if (peer == nullptr) {
        return -1;
    }
    DWORD exit_code = 0xFFFFFFFF;
    if (WaitForSingleObject(peer->process, kPeerLimitMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(peer->process, &exit_code);
    }
    CloseHandle(peer->process);
    delete peer;
    return exit_code < 1000000 ? static_cast<int>(exit_code) : -1;
}

bool peer_await_go()
{
    if (std::getenv("VARNEX_PEER_BESIDE") == nullptr) {
        return true;
    }
    HANDLE go = CreateEventA(nullptr, FALSE, FALSE, "VarnexPeerGo");
    const DWORD waited = WaitForSingleObject(go, 2 * kPeerLimitMs);
    CloseHandle(go);
    return waited == WAIT_OBJECT_0;
}

void peer_ready()
{
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "VarnexPeerReady");
    SetEvent(ready);
    CloseHandle(ready);
}

int peer_exit(int count)
{
    return count;
}

bool peer_hold_mutex_named_like_the_event(double seconds)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "MyTimerSignal");
    peer_ready();
    Sleep(static_cast<DWORD>(seconds * 1000));
    CloseHandle(mutex);
    return mutex != nullptr;
}

}  // namespace host
