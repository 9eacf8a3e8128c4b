// What a host built against the public header and an import library does with
// every export. Needs no C runtime: the MSVC-ABI host has none. Returns 0, or
// the number of the first check that failed.
#ifndef VARNEX_TESTS_HOST_CHECKS_H
#define VARNEX_TESTS_HOST_CHECKS_H

#include "varnex.h"

inline int run_host_checks()
{
    if (nVarnex != 0) {
        return 10;
    }
    // An MSVC-built caller may take the new object from the constructor's
    // return register.
    CVarnex* made = new CVarnex;
    CVarnex other;
    if (&(*made = other) != made) {
        return 11;
    }
    const unsigned int token = OpenRTTimerLV(100, 0);
    if (token != 0xFFFFFFFFu) {
        return 12;
    }
    for (int wait = 0; wait < 5; ++wait) {
        const double elapsed_s = WaitForRTTimerLV(token);
        if (elapsed_s < 0.0099 || elapsed_s > 1.0) {
            return 13;
        }
    }
    // A long period: the close below must land inside a spin, also when an
    // emulated process is not scheduled for a while.
    void* timer = OpenRTTimer(10, 1);
    if (timer == nullptr) {
        return 14;
    }
    WaitForRTTimer(timer);
    for (int wait = 0; wait < 5; ++wait) {
        const double elapsed_s = WaitForRTTimer(timer);
        if (elapsed_s <= 0.0 || elapsed_s > 1.0) {
            return 15;
        }
    }
    if (CloseRTTimer(timer) != 0) {
        return 16;
    }
    // The worker ends after its last spin, at most a period: given up to a
    // hundred polling periods, ten of its own.
    short closed = 0;
    for (int wait = 0; wait < 100 && (closed = CloseRTTimer(timer)) != -1; ++wait) {
        WaitForRTTimerLV(token);
    }
    if (closed != -1) {
        return 17;
    }
    return 0;
}

#endif
