#include "varnex_dll.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr DWORD kBoxSearchLimitMs = 60000;

FARPROC resolve(HMODULE module, const VarnexExport& entry, BindBy bind_by)
{
    return bind_by == BindBy::kName
               ? GetProcAddress(module, entry.name)
               : GetProcAddress(module, MAKEINTRESOURCEA(entry.ordinal));
}

template <typename Function>
void bind(Function& target, HMODULE module, int ordinal, BindBy bind_by)
{
    target = reinterpret_cast<Function>(
        reinterpret_cast<void*>(resolve(module, kVarnexExports[ordinal - 1], bind_by)));
}

}  // namespace

VarnexDll load_varnex(BindBy bind_by)
{
    VarnexDll dll;
    dll.module = LoadLibraryA("Varnex.dll");
    if (dll.module == nullptr) {
        return dll;
    }
    bind(dll.construct, dll.module, 1, bind_by);
    bind(dll.assign, dll.module, 2, bind_by);
    bind(dll.CloseRTTimer, dll.module, 3, bind_by);
    bind(dll.OpenRTTimer, dll.module, 4, bind_by);
    bind(dll.OpenRTTimerLV, dll.module, 5, bind_by);
    bind(dll.WaitForRTTimer, dll.module, 6, bind_by);
    bind(dll.WaitForRTTimerLV, dll.module, 7, bind_by);
    bind(dll.nVarnex, dll.module, 8, bind_by);
    return dll;
}

MessageBoxDismisser::MessageBoxDismisser()
{
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

MessageBoxDismisser::~MessageBoxDismisser()
{
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
}

bool MessageBoxDismisser::dismissing() const
{
    return InterlockedCompareExchange(const_cast<volatile LONG*>(&dismissing_), 0, 0) != 0;
}

std::string MessageBoxDismisser::text() const
{
    return text_;
}

std::string MessageBoxDismisser::caption() const
{
    return caption_;
}

DWORD WINAPI MessageBoxDismisser::run(LPVOID self_pointer)
{
    auto* self = static_cast<MessageBoxDismisser*>(self_pointer);
    const DWORD start_ms = GetTickCount();
    HWND box = nullptr;
    while (box == nullptr && GetTickCount() - start_ms < kBoxSearchLimitMs) {
        box = FindWindowA(nullptr, "Info");
        if (box == nullptr) {
            Sleep(20);
        }
    }
    if (box == nullptr) {
        return 1;
    }
    char buffer[256] = {};
    GetWindowTextA(box, buffer, sizeof buffer);
    self->caption_ = buffer;
    // The message text is the box's static control with id 0xFFFF.
    GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
    self->text_ = buffer;
    InterlockedExchange(&self->dismissing_, 1);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

double seconds_now()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER reading;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&reading);
    return static_cast<double>(reading.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int threads_in_this_process()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int threads = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        threads += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    }
    CloseHandle(snapshot);
    return threads;
}

namespace {

// The peer the test driver started beside this process with `arguments`
// (tests/windows/run-beside-peer.sh): it waits for "VarnexPeerGo".
HANDLE release_peer_beside(const std::string& arguments, const char* driver_arguments, HANDLE ready)
{
    std::printf("win_timer_peer.exe %s runs beside this process, started by the test driver: "
                "an emulated 32-bit process cannot start another\n",
                driver_arguments);
    if (arguments != driver_arguments) {
        std::printf("but this test needs win_timer_peer.exe %s\n", arguments.c_str());
        return nullptr;
    }
    HANDLE go = CreateEventA(nullptr, FALSE, FALSE, "VarnexPeerGo");
    SetEvent(go);
    const bool became_ready = WaitForSingleObject(ready, 60000) == WAIT_OBJECT_0;
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
        if (lstrcmpiA(entry.szExeFile, "win_timer_peer.exe") == 0) {
            peer = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return peer;
}

}  // namespace

HANDLE start_peer(const std::string& arguments)
{
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, "VarnexPeerReady");
    if (const char* driver_arguments = std::getenv("VARNEX_PEER_BESIDE")) {
        HANDLE peer = release_peer_beside(arguments, driver_arguments, ready);
        CloseHandle(ready);
        return peer;
    }
    std::string command = "win_timer_peer.exe " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        CloseHandle(ready);
        return nullptr;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(ready, 60000);
    CloseHandle(ready);
    return process.hProcess;
}

DWORD finish_peer(HANDLE process)
{
    DWORD exit_code = 0xFFFFFFFF;
    if (process != nullptr && WaitForSingleObject(process, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &exit_code);
    }
    CloseHandle(process);
    return exit_code;
}
