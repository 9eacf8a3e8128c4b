// Varnex.dll as a Windows host binds it: LoadLibrary, then GetProcAddress by
// decorated name or by ordinal.
#ifndef VARNEX_TESTS_VARNEX_DLL_H
#define VARNEX_TESTS_VARNEX_DLL_H

#include <windows.h>

#include <string>

#include "varnex_exports.h"

// The members of CVarnex take `this` in ECX on i686; x86_64 has one convention.
// GCC warns that the attribute is meant for members, and applies it.
#if defined(__i386__)
#define VARNEX_TEST_THISCALL __attribute__((thiscall))
#else
#define VARNEX_TEST_THISCALL
#endif

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
struct VarnexDll {
    HMODULE module = nullptr;
    void* (VARNEX_TEST_THISCALL* construct)(void* self) = nullptr;  // ordinal 1 as an MSVC caller sees it
    void* (VARNEX_TEST_THISCALL* assign)(void* self, const void* other) = nullptr;
    short (*CloseRTTimer)(void*) = nullptr;
    void* (*OpenRTTimer)(long, int) = nullptr;
    unsigned int (*OpenRTTimerLV)(long, int) = nullptr;
    double (*WaitForRTTimer)(void*) = nullptr;
    double (*WaitForRTTimerLV)(unsigned int) = nullptr;
    int* nVarnex = nullptr;
};
#pragma GCC diagnostic pop

struct VarnexExport {
    int ordinal;
    const char* name;
};

// The exported names of the build under test, by ordinal.
constexpr VarnexExport kVarnexExports[] = {VARNEX_EXPORT_LIST};

enum class BindBy { kName, kOrdinal };

// Loads the DLL beside the test program; every member is null when a name or
// ordinal is missing.
VarnexDll load_varnex(BindBy bind_by);

double seconds_now();
// Threads of this process, by a Toolhelp snapshot.
int threads_in_this_process();

// Starts win_timer_peer.exe with `arguments` and waits until it has opened
// its timer (it signals "VarnexPeerReady"); finish_peer returns its exit code.
// Where the test driver has already started the peer beside this process
// (VARNEX_PEER_BESIDE holds its arguments), lets that one go instead.
HANDLE start_peer(const std::string& arguments);
DWORD finish_peer(HANDLE process);

// A thread that waits for the message box captioned "Info", reads its text,
// and dismisses it with OK.
class MessageBoxDismisser {
public:
    MessageBoxDismisser();
    ~MessageBoxDismisser();
    // Set just before the box is dismissed, so an open that returned earlier
    // finds it false.
    bool dismissing() const;
    std::string text() const;
    std::string caption() const;

private:
    static DWORD WINAPI run(LPVOID self);
    HANDLE thread_ = nullptr;
    volatile LONG dismissing_ = 0;
    std::string text_;
    std::string caption_;
};

#endif
