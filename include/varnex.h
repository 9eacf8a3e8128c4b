/**
 * \file varnex.h
 * \brief The eight exports: two drop-in timers that pace a host with a busy spin on the
 * high-resolution performance counter.
 *
 * Two timers share one rate: the threaded timer (OpenRTTimer(), WaitForRTTimer(),
 * CloseRTTimer()), whose worker thread signals the named event "MyTimerSignal" once per period,
 * and the polling timer (OpenRTTimerLV(), WaitForRTTimerLV()), which spins in the caller's own
 * thread. Each wait returns the seconds that passed since the previous tick. A failed open shows
 * a message box ("Info", "Performance counter is not available.") and returns null or 0.
 *
 * The functions are C++ (cdecl) functions, not extern "C": on Windows they are exported under
 * their MSVC-decorated names, where `long` is 32-bit; on Linux under their ordinary C++ names,
 * where `long` is 64-bit. Their exact behaviour: docs/dropin-timers.md.
 */
#ifndef VARNEX_H
#define VARNEX_H

#include "varnex/export.h"

/** \brief Takes no part in timing; kept because hosts link against it. \since 1.0 */
class VARNEX_API CVarnex {
public:
    /** \brief Does nothing. */
    CVarnex();
    /** \brief Copies nothing. */
    CVarnex(const CVarnex&) = default;
    /** \brief Copies nothing. \returns `*this`. */
    CVarnex& operator=(const CVarnex&);
};

/** \brief Takes no part in timing; reads 0. \since 1.0 */
extern VARNEX_API int nVarnex;

/**
 * \brief Opens the threaded timer, replacing one already open in this process.
 * \param rate Ticks per second, 1 or more.
 * \param priorityIndex The worker's priority: 0, 1, 2 for highest, above normal, normal.
 * \returns The timer handle, or null on failure (after the message box).
 * \threadsafety One threaded timer per process; the worker of the one replaced stops within one
 *               period.
 * \since 1.0
 */
VARNEX_API void* OpenRTTimer(long rate, int priorityIndex);

/**
 * \brief Waits for the threaded timer's next tick.
 * \param handle The handle from OpenRTTimer().
 * \returns Seconds since the previous successful wait (the first in a process: the counter's
 *          whole reading, since its zero); -1.0 when no tick came within ten seconds (the timer
 *          is then closed) or no timer is open.
 * \since 1.0
 */
VARNEX_API double WaitForRTTimer(void* handle);

/**
 * \brief Closes the threaded timer. Does not wait for the worker, and does not close the handle.
 * \param handle The handle from OpenRTTimer().
 * \returns -1 if the worker had already ended, 0 otherwise.
 * \since 1.0
 */
VARNEX_API short CloseRTTimer(void* handle);

/**
 * \brief Opens the polling timer.
 * \param rate Ticks per second, 1 or more.
 * \param priorityIndex 0, 1 or 2, checked as OpenRTTimer() checks it.
 * \returns 0xFFFFFFFF on success, 0 on failure (after the message box).
 * \since 1.0
 */
VARNEX_API unsigned int OpenRTTimerLV(long rate, int priorityIndex);

/**
 * \brief Spins in the calling thread until the period has passed since the previous tick.
 * \param token Not used.
 * \returns Seconds since the previous tick, or at the first wait after an open (one that failed
 *          on its arguments included) since the counter's zero; -1.0 before any open.
 * \since 1.0
 */
VARNEX_API double WaitForRTTimerLV(unsigned int token);

#endif
