// Another process on the shared tick event, under Wine.
//   win_timer_peer tick RATE SECONDS   opens a threaded timer and lets it tick
//   win_timer_peer count RATE SECONDS  opens one; exits with how many waits returned
//   win_timer_peer mutex 0 SECONDS     holds a mutex named "MyTimerSignal" instead
// Signals the event "VarnexPeerReady" once its timer (or mutex) is there.
// Started by the test driver beside the test (VARNEX_PEER_BESIDE is set), it
// first waits for the test to signal "VarnexPeerGo".
#include <cstdlib>
#include <cstring>

#include "varnex_dll.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        return 1000000;
    }
    if (std::getenv("VARNEX_PEER_BESIDE") != nullptr) {
        HANDLE go = CreateEventA(nullptr, FALSE, FALSE, "VarnexPeerGo");
        const DWORD waited = WaitForSingleObject(go, 120000);
        CloseHandle(go);
        if (waited != WAIT_OBJECT_0) {
            return 1000002;
        }
    }
    if (std::strcmp(argv[1], "mutex") == 0) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, "MyTimerSignal");
        HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "VarnexPeerReady");
        SetEvent(ready);
        CloseHandle(ready);
        Sleep(static_cast<DWORD>(std::atof(argv[3]) * 1000));
        CloseHandle(mutex);
        return 0;
    }
    const VarnexDll dll = load_varnex(BindBy::kName);
    const bool counting = std::strcmp(argv[1], "count") == 0;
    void* timer = dll.OpenRTTimer(std::atol(argv[2]), 2);
    if (timer == nullptr) {
        return 1000001;
    }
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "VarnexPeerReady");
    SetEvent(ready);
    CloseHandle(ready);
    const DWORD end_ms = GetTickCount() + static_cast<DWORD>(std::atof(argv[3]) * 1000);
    int waits = 0;
    while (static_cast<LONG>(end_ms - GetTickCount()) > 0) {
        if (!counting) {
            Sleep(10);
        } else if (dll.WaitForRTTimer(timer) >= 0) {
            ++waits;
        }
    }
    dll.CloseRTTimer(timer);
    WaitForSingleObject(timer, 1000);
    return waits;
}
