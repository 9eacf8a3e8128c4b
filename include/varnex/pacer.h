/* Varnex pacer: paces a loop on a grid of deadlines anchored to its start.
 *
 * A pacer is an object of its own: any number per process, each independent
 * of the others and of the eight timer exports in varnex.h. Tick k is due at
 *
 *     start + floor(k * frequency * rate_den / rate_num)
 *
 * counts of the high-resolution counter, computed from k in exact integer
 * arithmetic every time: the grid never drifts, however long it runs. Since
 * 1.5 the grid may be on the system clock instead (VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK),
 * the same instants on every machine whose clock is synchronized.
 *
 * Threads: one thread waits on a pacer at a time. varnex_pacer_get_stats and
 * varnex_pacer_cancel may be called from any thread, also while another
 * waits. Destroying a pacer while another thread waits on it is a contract
 * violation: cancel first, and destroy once the wait has returned.
 *
 * Processes (POSIX): after fork(), the child's copy of a pacer is a pacer of
 * its own. It holds none of the parent's kernel objects: its first wait or
 * varnex_pacer_wait_handle gives it a readiness timer of its own (under the
 * same descriptor number), a clock of its own waiting thread, and its own
 * memory lock and latency request; until then its cancel only sets its flag
 * and its cpu_ns is -1. The latency request's descriptor is closed in the
 * child at the fork, so that the parent's request does not last as long as
 * the child does. The parent's pacer is untouched either way.
 *
 * Errors: every call that can fail returns a varnex_status; varnex_strerror
 * names it. Nothing here shows a message box, writes to stderr or throws.
 *
 * Calling convention: cdecl on every platform (on 32-bit Windows, declare it
 * so in hosts that assume stdcall, such as C# P/Invoke:
 * CallingConvention.Cdecl). Every struct carries its size in its first member
 * and has no implicit padding: its layout is the same for 32- and 64-bit
 * hosts, and for hosts that pack structs to 1 byte.
 */
#ifndef VARNEX_PACER_H
#define VARNEX_PACER_H

#include <stdint.h>

#include "varnex/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* (major << 16) | (minor << 8) | patch of the library that is loaded. */
#define VARNEX_VERSION (VARNEX_VERSION_MAJOR * 65536u + VARNEX_VERSION_MINOR * 256u + VARNEX_VERSION_PATCH)

typedef enum varnex_status {
    VARNEX_OK = 0,
    VARNEX_E_INVALID_ARGUMENT = -1, /* a null pointer, or a struct size this library does not know */
    VARNEX_E_INVALID_RATE = -2,     /* zero, negative, NaN, infinite, or under one counter step a tick */
    /* not one of varnex_mode; a spin-mode pacer asked for a readiness handle; a lateness budget
       for a pacer that is not a hybrid learning its margin */
    VARNEX_E_INVALID_MODE = -3,
    VARNEX_E_INVALID_MISSED = -4,   /* an unknown missed-tick policy */
    /* a phase below -1 or above 2^62 ns, or one the counter cannot reach; aligned: not below one period */
    VARNEX_E_INVALID_PHASE = -5,
    VARNEX_E_NO_MEMORY = -6,
    /* No high-resolution counter, or no timer to sleep on, or (aligned) no precise system clock:
       see VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK. From a wait, the tick not taken: the system refused
       its sleep or its timer, or (aligned) the system clock reads outside 1970 +/- 2^62 ns. */
    VARNEX_E_NO_COUNTER = -7,
    VARNEX_E_CANCELLED = -8,        /* varnex_pacer_cancel stopped this wait */
    VARNEX_E_INTERRUPTED = -9,      /* a signal ended the sleep (VARNEX_PACER_RETURN_ON_SIGNAL) */
    VARNEX_E_INVALID_CONTROL = -10, /* a control this pacer cannot take (varnex_pacer_set_controls) */
    /* Since 1.4, only once the readiness handle is out: the tick's wake-up is still ahead (the host
       came early, or so late that the missed-tick policy chose a later tick). The tick was not
       taken, and the handle is armed for it. */
    VARNEX_E_NOT_DUE = -11
} varnex_status;

typedef enum varnex_mode {
    VARNEX_MODE_SPIN = 0,  /* spins on the counter to the deadline: the most precise, a whole core */
    VARNEX_MODE_SLEEP = 1, /* the operating system's absolute-deadline sleep: cheap, late by its wake-up latency */
    /* Sleeps until the deadline minus a margin, then spins: a spin's precision at a fraction of its
       CPU. The margin is learned from the sleeps' own oversleep (see margin_ns in the stats), or
       fixed by margin_ns in the config. When the margin reaches the time left, the wait spins. */
    VARNEX_MODE_HYBRID = 2
} varnex_mode;

/* What a wait does when the host comes back after later deadlines passed. */
typedef enum varnex_missed {
    /* Waits for the next deadline in the future on the grid; the ticks passed over are missed. */
    VARNEX_MISSED_SKIP = 0,
    /* Returns at once for each tick passed, oldest first, up to burst_cap in a row; the rest are
       skipped as with VARNEX_MISSED_SKIP. */
    VARNEX_MISSED_BURST = 1,
    /* Returns the tick at once and moves the grid so that the next tick is one period later; the
       deadlines passed over are missed. */
    VARNEX_MISSED_DELAY = 2
} varnex_missed;

/* Since 1.6: why a wait returned its tick when it did (varnex_tick.cause). */
typedef enum varnex_cause {
    VARNEX_CAUSE_UNKNOWN = 0,   /* a library older than 1.6, or VARNEX_PACER_NO_STATS */
    /* late by no more than the lateness budget, or VARNEX_ON_TIME_NS without one: the tick's
       on-time limit */
    VARNEX_CAUSE_ON_TIME = 1,
    /* the sleep, or the loop's wake-up on the readiness handle, came after the deadline; or
       (aligned) a step of the system clock made the tick due while the wait was not looking */
    VARNEX_CAUSE_OVERSLEPT = 2,
    /* the last reading before the deadline and the reading that ended the spin lie further apart
       than the on-time limit: the thread did not run (another thread, an interrupt, the
       hypervisor) */
    VARNEX_CAUSE_PREEMPTED = 3,
    /* the deadline had passed when the wait was called. With the readiness handle: ticks were
       passed over for the host's lateness, or the tick was already due as the previous wait
       returned (a catch-up), or the wait was called later after the handle's wake-up than the
       loop's learned latency (the p99 of that delay, learned in sleep and hybrid mode) */
    VARNEX_CAUSE_HOST_LATE = 4
} varnex_cause;
/* A late tick has the first of HOST_LATE, PREEMPTED and OVERSLEPT that applies. */
#define VARNEX_ON_TIME_NS 10000

/* Flags of varnex_pacer_config. */
#define VARNEX_PACER_NO_STATS 0x1u /* keep no statistics: varnex_pacer_stats reports ticks and missed only */
/* Since 1.2. A signal whose handler interrupts the sleep of a wait ends it with
   VARNEX_E_INTERRUPTED, the tick not taken, so that the host can run its own handling (an
   interpreter's Ctrl-C) and wait again. Without it, the sleep goes on to the deadline. A spin
   is not interrupted: it lasts at most the period, or the hybrid's margin. POSIX only. */
#define VARNEX_PACER_RETURN_ON_SIGNAL 0x2u
/* Since 1.5. The grid is on the system clock: tick k is due where the clock reads
   phase + k * rate_den / rate_num seconds since 1970-01-01T00:00:00 UTC, in exact integer
   arithmetic, so that on every machine whose clock is synchronized (chrony, linuxptp, the
   Windows time service) tick k is the same instant, and tick.index counts k from 1970. The
   phase is from 0 to under one period (-1: 0); the first wait returns the first grid point
   after the creation. The pacer never sets or slews the clock.

   The wait still runs on the counter, and follows the clock: on Linux the counter
   (CLOCK_MONOTONIC) is slewed with CLOCK_REALTIME, and only a step of the clock (set by hand, a
   first synchronization, a leap second, a resume) changes their difference; on Windows the
   mapping from the counter to the system time (GetSystemTimePreciseAsFileTime, Windows 8 and
   later) is measured at every look, and a step is a change of more than a tenth of the time
   since the last look and of at least 100 us.

   A step forward misses the grid points it passed over: those at or before the clock's new time
   at the step (the last reading that found the old mapping true, mapped with the new one),
   whatever the policy. A point the step did not pass over is never missed: if the pacer sees
   the step only after that point's instant, it returns that tick late (OVERSLEPT), then the
   next. A host that calls a wait when, by the clock as it was, the tick after its next one is
   already due, is late by its own doing: the missed-tick policy takes the ticks due, as for any
   late host. After a step back no tick comes until the clock is back at the one after the last
   returned: no index repeats. The statistics count the steps. How soon a step is seen: as each
   wait begins and ends; a sleep looks at least every 10 ms; a spin longer than 10 ms looks every
   10 ms, but not in its last 10 ms; a loop asleep on the readiness handle is told at its next
   call. A clock that reads outside 1970 +/- 2^62 ns makes a wait return VARNEX_E_NO_COUNTER with
   the tick not taken (the handle then ready again within a period, at most 10 ms); once the
   clock is back in range, the grid follows it again.

   VARNEX_MISSED_DELAY would move the grid off the clock: VARNEX_E_INVALID_MISSED. No precise
   system clock (before Windows 8), or a counter too fast to count the time since 1970 in 62
   bits: VARNEX_E_NO_COUNTER. */
#define VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK 0x4u
/* Since 1.5, Linux, with VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK: the grid is on CLOCK_TAI, which
   has no leap seconds. CLOCK_TAI reads as UTC until the kernel is told the TAI offset (chrony's
   leapsectz, phc2sys): while that offset is 0, VARNEX_E_NO_COUNTER. Without the align flag, or
   on Windows: VARNEX_E_INVALID_ARGUMENT. */
#define VARNEX_PACER_TAI 0x8u

typedef struct varnex_pacer_config {
    uint32_t size;      /* sizeof(varnex_pacer_config) */
    uint32_t mode;      /* varnex_mode; VARNEX_MODE_SPIN by default */
    /* The rate as ticks per second, rate_num / rate_den, exactly (30000/1001 for NTSC video).
       Both from 1 to 4294967295. When rate_num is 0, rate_hz is used instead. */
    uint32_t rate_num;
    uint32_t rate_den;
    /* The rate as a double (29.97): converted once to the last convergent of its continued
       fraction whose numerator and denominator fit in 32 bits, which varnex_pacer_rate reports.
       Its relative error is below 2.3e-10; a farther-off fraction than the nearest one of 32-bit
       terms may be chosen within that bound. */
    double rate_hz;
    /* The first deadline, in nanoseconds after creation, from 0 to 2^62 (146 years); -1 (the
       default) for one period. Gives several pacers of one rate distinct phases. A phase whose
       deadline the counter cannot hold (on a counter faster than 1 GHz) gives
       VARNEX_E_INVALID_PHASE. */
    int64_t phase_ns;
    uint32_t missed;    /* varnex_missed; VARNEX_MISSED_SKIP by default */
    uint32_t burst_cap; /* VARNEX_MISSED_BURST: at most this many immediate returns in a row (default 4) */
    uint32_t flags;     /* VARNEX_PACER_* flags */
    /* VARNEX_MODE_HYBRID: a fixed margin in nanoseconds; 0 (the default) to learn it from the
       sleeps' own oversleep: a high quantile of the latest few hundred ticks, which one stall does
       not move. A learned margin is at least 10 us; over the first 16 sleeps, at least the smaller
       of 1 ms and half the period. A sleep that wakes late widens it at once, but never past half
       the period, so that the sleeping that learning needs goes on. While the margin passes the
       time left to the deadline the wait spins, and now and then sleeps half the time left as a
       probe: one that wakes early enough starts the learning over. The margin in use shows in
       the statistics. Ignored in the other modes. Was `reserved` (0) in version 1.1. */
    uint32_t margin_ns;
} varnex_pacer_config;

typedef struct varnex_tick {
    uint32_t size;        /* sizeof(varnex_tick), set by the caller */
    uint32_t cause;       /* since 1.6 (was reserved): a varnex_cause, written by a wait that returns VARNEX_OK */
    uint64_t index;       /* tick k: the first tick is 0; aligned, k counts from 1970 */
    uint64_t missed;      /* ticks passed over since the previous return */
    int64_t lateness_ns;  /* the reading that ended the wait, minus tick k's deadline */
    int64_t interval_ns;  /* since the previous return (since creation for the first) */
    double lateness_s;
    double interval_s;
} varnex_tick;

typedef struct varnex_pacer_stats {
    uint32_t size;          /* sizeof(varnex_pacer_stats), set by the caller */
    uint32_t reserved;
    uint64_t ticks;         /* ticks returned */
    uint64_t missed;        /* ticks passed over */
    /* Lateness of the returned ticks, from a log-linear histogram: within 1/64 (1.6%) of the
       exact value up to 2^41 ns (36.6 minutes); a lateness beyond that counts as 36.6 minutes
       (the maximum stays exact); 0 before the first tick. A tick's lateness enters these and the
       drift (and its spin enters spin_ns) as the next wait begins, so that the host is not kept
       waiting for them; every count (ticks, missed, late_ticks and its causes) is taken with the
       tick. */
    int64_t lateness_p50_ns;
    int64_t lateness_p99_ns;
    int64_t lateness_p999_ns;
    int64_t lateness_max_ns; /* exact */
    /* Mean lateness of the latest 1,000 ticks minus that of the first 1,000, each without its
       highest and lowest 5%, so that one stall does not move it: 0 until 2,000 ticks. */
    int64_t drift_ns;
    int64_t spin_ns;         /* time the waits spent spinning, from the readings they took */
    int64_t sleep_ns;        /* time the waits spent asleep */
    /* CPU time of the thread that first waited, read now; -1 if unknown, and from the moment that
       thread has ended (never another thread's that took its id). */
    int64_t cpu_ns;
    /* Since version 1.2 (size 96; a size of 88 gets the fields above): the hybrid margin the next
       wait will sleep with; 0 in the other modes. */
    int64_t margin_ns;
    /* Since version 1.3 (size 112): the VARNEX_CONTROL_* bits set by varnex_pacer_set_controls,
       as the latest waits found them. Active: in effect. Denied: the system refused it, for want
       of a privilege (CAP_SYS_NICE for REALTIME and BOOST on Linux, write access to
       /dev/cpu_dma_latency, RLIMIT_MEMLOCK). Unsupported: this system has no such control. */
    uint32_t controls_active;
    uint32_t controls_denied;
    uint32_t controls_unsupported;
    /* Since version 1.5 (size 128; earlier libraries leave these unwritten, so that a host checks
       varnex_version() before it reads them): the steps of the system clock that an aligned
       pacer saw, and the sum of their sizes (forward and back alike). */
    uint32_t clock_steps;
    int64_t clock_step_ns;
    /* The kernel's view of the system clock (Linux, adjtimex; -1 elsewhere, or if unknown): 1
       while it is synchronized, 0 while STA_UNSYNC is set; the estimated error, in us. */
    int32_t clock_synchronized;
    int32_t clock_error_us;
    /* Since version 1.6 (size 160): the ticks returned later than their on-time limit (the
       lateness budget, or VARNEX_ON_TIME_NS without one), and of those, how many for each cause;
       0 with VARNEX_PACER_NO_STATS. */
    uint64_t late_ticks;
    uint64_t late_overslept;
    uint64_t late_preempted;
    uint64_t late_host_late;
} varnex_pacer_stats;

/* Scheduling and power controls, for varnex_pacer_set_controls. Each applies to the thread
   that waits, only while the pacer needs it, and puts back exactly what was there: the thread
   is the host's. A thread in a state that could not be put back is left alone, and the control
   is reported unsupported. All are off by default. */
#define VARNEX_CONTROL_BOOST 0x1u         /* highest priority while spinning (Linux: nice -20;
                                             Windows: THREAD_PRIORITY_TIME_CRITICAL) */
#define VARNEX_CONTROL_AFFINITY 0x2u      /* the thread runs on affinity_mask's CPUs while it waits;
                                             its own set, every CPU of it, comes back */
#define VARNEX_CONTROL_REALTIME 0x4u      /* Linux: SCHED_FIFO at realtime_priority while it sleeps,
                                             so that its wake-up preempts other work, then the
                                             thread's own policy, priority and timer slack; not for
                                             a spin-mode pacer, which never sleeps. A
                                             SCHED_DEADLINE thread is left alone, and a pacer whose
                                             readiness handle is out never sleeps (unsupported). */
#define VARNEX_CONTROL_LOCK_MEMORY 0x8u   /* the pacer's own memory, pages that it shares with
                                             nothing, stays in RAM for its life; the unlock touches
                                             no other memory, the host's own locks included */
#define VARNEX_CONTROL_DMA_LATENCY 0x10u  /* Linux: holds /dev/cpu_dma_latency at dma_latency_us
                                             for the pacer's life, keeping deep C-states off */
#define VARNEX_CONTROL_NO_THROTTLING 0x20u /* Windows: no power throttling (EcoQoS) while it waits,
                                             then the thread's own state; where the system cannot
                                             report it (before Windows 11), "system managed" */
#define VARNEX_CONTROL_MMCSS 0x40u        /* Windows: the MMCSS "Pro Audio" class while it waits */

typedef struct varnex_pacer_controls {
    uint32_t size;              /* sizeof(varnex_pacer_controls) */
    uint32_t flags;             /* VARNEX_CONTROL_* */
    /* VARNEX_CONTROL_AFFINITY: bit n for CPU n; at least one CPU that the calling thread may
       run on (32-bit Windows: CPUs 0 to 31 only). A mask that is no longer usable when the wait
       comes is reported unsupported. */
    uint64_t affinity_mask;
    uint32_t realtime_priority; /* VARNEX_CONTROL_REALTIME: 1 to 99 */
    uint32_t dma_latency_us;    /* VARNEX_CONTROL_DMA_LATENCY: the exit latency to allow, in us */
} varnex_pacer_controls;

typedef struct varnex_pacer varnex_pacer;

VARNEX_API uint32_t VARNEX_CALL varnex_version(void);
/* A fixed English text for any status; never null. */
VARNEX_API const char* VARNEX_CALL varnex_strerror(int status);

/* The defaults: spin mode, skip, burst cap 4, phase one period; no rate. */
VARNEX_API void VARNEX_CALL varnex_pacer_config_init(varnex_pacer_config* config);

/* Creates a pacer; on failure *pacer is null and nothing was created. */
VARNEX_API int VARNEX_CALL varnex_pacer_create(const varnex_pacer_config* config, varnex_pacer** pacer);
/* Closes the readiness handle too, after making it ready, so that a loop still blocked on it
   wakes rather than waits for its old wake-up. With the handle in an event loop, destroy in
   this order: varnex_pacer_cancel; let the loop see the handle ready and remove it
   (epoll_ctl(EPOLL_CTL_DEL), asyncio's remove_reader); then destroy. A descriptor closed while
   a loop still has it registered may, reused, alias an unrelated file. */
VARNEX_API void VARNEX_CALL varnex_pacer_destroy(varnex_pacer* pacer);

/* Returns when the next tick is due, filling *tick (which may be null). A wait that returns
   anything but VARNEX_OK leaves *tick as it was. */
VARNEX_API int VARNEX_CALL varnex_pacer_wait(varnex_pacer* pacer, varnex_tick* tick);

/* Makes the wait in progress, or else the next one, return VARNEX_E_CANCELLED promptly (a spin
   at once, a sleep within 10 ms), and the readiness handle, if there is one, ready at once. The
   tick is not consumed: a later wait waits for it again. */
VARNEX_API int VARNEX_CALL varnex_pacer_cancel(varnex_pacer* pacer);

/* From any thread; it never calls the allocator. Any size from 88 (version 1.1's) on is taken:
   the fields within it that this library knows are written, and nothing beyond them. */
VARNEX_API int VARNEX_CALL varnex_pacer_get_stats(varnex_pacer* pacer, varnex_pacer_stats* stats);

/* Since 1.3. Sets the pacer's controls, replacing any set before; call it between waits. A
   control the pacer cannot take (REALTIME in spin mode, an affinity mask with no CPU the calling
   thread may use, a priority outside 1 to 99) gives VARNEX_E_INVALID_CONTROL, and a failed
   allocation VARNEX_E_NO_MEMORY; either changes nothing. Whether each one took
   effect shows in the statistics: a missing privilege is never a failure of the wait, and
   never silent. */
VARNEX_API int VARNEX_CALL varnex_pacer_set_controls(varnex_pacer* pacer, const varnex_pacer_controls* controls);

/* Since 1.4. The pacer's readiness handle, for a host that waits in an event loop (epoll,
   asyncio, a message pump) rather than in varnex_pacer_wait. Linux: a timerfd descriptor
   (non-blocking, close-on-exec) that becomes readable; Windows: a manual-reset waitable timer
   HANDLE that becomes signalled. It is ready at the wake-up of the tick that the next wait will
   return: the deadline minus the margin in hybrid mode, the deadline itself in sleep mode. The
   host then calls varnex_pacer_wait, which spins the rest and returns the tick.

   The first call creates the handle and arms it; call it between waits. A second call gives the
   same handle. The pacer owns it and closes it at destroy: the host never reads from it, resets
   it or closes it. A spin-mode pacer has none (VARNEX_E_INVALID_MODE); a system that gives no
   timer (a process out of descriptors) gives VARNEX_E_NO_COUNTER.

   Once the handle is out, a wait never sleeps. If the tick's wake-up is still ahead it returns
   VARNEX_E_NOT_DUE at once (a wait called at or after the wake-up the handle was armed for is
   due); every return, whatever its status, arms the handle for the tick that the next wait will
   return. In hybrid mode the margin, fixed or learned (then from the loop's
   own latency: from the wake-up to the call), is at most half the period: a loop later than that
   gets its tick late, never a longer spin. When the host comes back so late that the skip policy
   chooses a later tick, VARNEX_E_NOT_DUE keeps that choice, and the ticks passed over count as
   missed when it returns. varnex_pacer_cancel makes the handle ready at once, and the wait then
   returns VARNEX_E_CANCELLED. */
VARNEX_API int VARNEX_CALL varnex_pacer_wait_handle(varnex_pacer* pacer, intptr_t* handle);

/* Since 1.6. The p99 lateness this host accepts, in nanoseconds, for a hybrid pacer that learns
   its margin: the margin becomes the p99 of the sleeps' oversleep (over the latest 512 to 1,024
   ticks, exactly) less the budget, and may be 0. A budget as large as that p99 makes the hybrid
   sleep to the deadline itself, at sleep mode's CPU; every microsecond less is spin time. 0 (the
   default) is no budget: the margin is the p99.5 of the oversleep, at least 10 us. A late
   wake-up no longer widens a budgeted margin at once: the host accepts the late ticks of its
   p99, and the window's quantile follows them. With the readiness handle, the same holds for
   the loop's latency. The statistics' late_ticks says
   whether the budget holds: the budget is each tick's on-time limit, also when it is longer
   than the period (only the margin is held to the period). Call it between waits; with the
   readiness handle out, it re-arms the handle by the new margin. Spin or sleep mode, or a fixed
   margin_ns: VARNEX_E_INVALID_MODE; a negative budget: VARNEX_E_INVALID_ARGUMENT. */
VARNEX_API int VARNEX_CALL varnex_pacer_set_lateness_budget(varnex_pacer* pacer, int64_t p99_ns);

/* The rate in use, as the exact fraction ticks per second = *rate_num / *rate_den. */
VARNEX_API int VARNEX_CALL varnex_pacer_rate(const varnex_pacer* pacer, uint32_t* rate_num, uint32_t* rate_den);

#ifdef __cplusplus
}
#endif

#endif
