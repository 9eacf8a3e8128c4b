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
    void* timer = OpenRTTimer(100, 1);
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
    // Three polling periods, far more than the worker's last spin.
    for (int wait = 0; wait < 3; ++wait) {
        WaitForRTTimerLV(token);
    }
    if (CloseRTTimer(timer) != -1) {
        return 17;
    }
    return 0;
}

#endif
