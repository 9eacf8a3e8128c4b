// Varnex: paces a host at a fixed rate with a busy spin on the high-resolution
// performance counter.
//
// Two timers share one rate: the threaded timer (OpenRTTimer, WaitForRTTimer,
// CloseRTTimer), whose worker thread signals the named event "MyTimerSignal"
// once per period, and the polling timer (OpenRTTimerLV, WaitForRTTimerLV),
// which spins in the caller's own thread. Each wait returns the seconds that
// passed since the previous tick. A failed open shows a message box ("Info",
// "Performance counter is not available.") and returns null or 0.
//
// The functions are C++ (cdecl) functions, not extern "C": on Windows they are
// exported under their MSVC-decorated names, where `long` is 32-bit; on Linux
// under their ordinary C++ names, where `long` is 64-bit.
#ifndef VARNEX_H
#define VARNEX_H

#include "varnex/export.h"

// Takes no part in timing; kept because hosts link against it.
class VARNEX_API CVarnex {
public:
    CVarnex();
    CVarnex(const CVarnex&) = default;
    CVarnex& operator=(const CVarnex&);
};

// Takes no part in timing; reads 0.
extern VARNEX_API int nVarnex;

// Threaded timer. priorityIndex 0, 1, 2: highest, above normal, normal.
// Returns the timer handle, or null on failure.
VARNEX_API void* OpenRTTimer(long rate, int priorityIndex);
// Seconds since the previous successful wait; -1.0 when no tick came within
// ten seconds (the timer is then closed) or no timer is open.
VARNEX_API double WaitForRTTimer(void* handle);
// -1 if the worker had already ended, 0 otherwise. Does not wait for the
// worker, and does not close the handle.
VARNEX_API short CloseRTTimer(void* handle);

// Polling timer. Returns 0xFFFFFFFF on success, 0 on failure.
VARNEX_API unsigned int OpenRTTimerLV(long rate, int priorityIndex);
// Spins until the period has passed since the previous tick; the argument is
// not used. -1.0 before any open.
VARNEX_API double WaitForRTTimerLV(unsigned int);

#endif
