/**
 * \file pacer.h
 * \brief The pacer: paces a loop on a grid of deadlines anchored to its start.
 *
 * A pacer is an object of its own: any number per process, each independent
 * of the others and of the eight timer exports in varnex.h. Tick k is due at
 * `start + floor(k * frequency * rate_den / rate_num)` counts of the
 * high-resolution counter, computed from k in exact integer arithmetic every
 * time: the grid never drifts, however long it runs. The grid may be on the
 * system clock instead (#VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK), or follow a
 * reference clock the host observes (#VARNEX_PACER_FOLLOW_REFERENCE).
 *
 * Threads: one thread waits on a pacer at a time. varnex_pacer_get_stats()
 * and varnex_pacer_cancel() may be called from any thread, also while another
 * waits; varnex_pacer_observe() from one thread at a time, beside the waiting
 * one. Destroying a pacer while another thread waits on it, or observes it,
 * is a contract violation: cancel first, stop the observer, and destroy once
 * the wait and the observation have returned.
 *
 * Processes (POSIX): after fork(), the child's copy of a pacer is a pacer of
 * its own, holding none of the parent's kernel objects; the parent's pacer is
 * untouched. Until the child's first wait or varnex_pacer_wait_handle(), its
 * cancel only sets its flag and its cpu_ns is -1.
 *
 * Errors: every call that can fail returns a #varnex_status, which
 * varnex_strerror() names. Nothing here shows a message box, writes to stderr
 * or throws.
 *
 * Calling convention: cdecl on every platform (on 32-bit Windows, say so in
 * hosts that assume stdcall: C# P/Invoke's CallingConvention.Cdecl). Every
 * struct carries its size in its first member and has no implicit padding:
 * its layout is the same for 32- and 64-bit hosts, and for hosts that pack
 * structs to 1 byte.
 *
 * The guide, docs/pacer.md, explains each of these at length.
 */
#ifndef VARNEX_PACER_H
#define VARNEX_PACER_H

#include <stdint.h>

#include "varnex/export.h"

#ifdef __cplusplus
extern "C" {
#endif

/**
 * \brief The version of these headers: `(major << 16) | (minor << 8) | patch`.
 *
 * Compare it with varnex_version(), the version of the library that is loaded.
 * \since 1.1
 */
#define VARNEX_VERSION (VARNEX_VERSION_MAJOR * 65536u + VARNEX_VERSION_MINOR * 256u + VARNEX_VERSION_PATCH)

/** \brief What a call returns: #VARNEX_OK or a negative error. \since 1.1 */
typedef enum varnex_status {
    VARNEX_OK = 0,                  /**< Success. */
    /** A null pointer, a struct size this library does not know, a value out of its range, or a
        reference call on a pacer that follows none. */
    VARNEX_E_INVALID_ARGUMENT = -1,
    VARNEX_E_INVALID_RATE = -2,     /**< Zero, negative, NaN, infinite, or under one counter step a tick. */
    /** Not one of #varnex_mode; a spin-mode pacer asked for a readiness handle; a lateness budget
        for a pacer that is not a hybrid learning its margin. */
    VARNEX_E_INVALID_MODE = -3,
    VARNEX_E_INVALID_MISSED = -4,   /**< An unknown missed-tick policy. */
    /** A phase below -1 or above 2^62 ns, or one the counter cannot reach; aligned or following a
        reference: not below one period. */
    VARNEX_E_INVALID_PHASE = -5,
    VARNEX_E_NO_MEMORY = -6,        /**< An allocation failed. */
    /** No high-resolution counter, or no timer to sleep on, or (aligned) no precise system clock.
        From a wait, the tick not taken: the system refused its sleep or its timer, or (aligned)
        the system clock reads outside 1970 +/- 2^62 ns. */
    VARNEX_E_NO_COUNTER = -7,
    VARNEX_E_CANCELLED = -8,        /**< varnex_pacer_cancel() stopped this wait. */
    /** A signal ended the sleep (#VARNEX_PACER_RETURN_ON_SIGNAL). \since 1.2 */
    VARNEX_E_INTERRUPTED = -9,
    /** A control this pacer cannot take (varnex_pacer_set_controls()). \since 1.3 */
    VARNEX_E_INVALID_CONTROL = -10,
    /** Only once the readiness handle is out: the tick's wake-up is still ahead (the host came
        early, or so late that the missed-tick policy chose a later tick). The tick was not taken,
        and the handle is armed for it. \since 1.4 */
    VARNEX_E_NOT_DUE = -11,
    /** A settle of varnex_sim_clock_advance() did not complete in its time-out; the clock reads
        the new time, and a later advance settles what is still pending. \since 1.8 */
    VARNEX_E_TIMEOUT = -12,
    /** varnex_sim_clock_create(): the name is held by a clock whose creator lives. \since 1.8 */
    VARNEX_E_NAME_IN_USE = -13,
    VARNEX_E_NOT_FOUND = -14,       /**< varnex_sim_clock_open(): no clock by that name. \since 1.8 */
    /** The process that created the named clock ended: its clock moves no more. \since 1.8 */
    VARNEX_E_CLOCK_GONE = -15,
    /** The named clock's memory is not a clock of this version (its magic, version or size).
        \since 1.8 */
    VARNEX_E_INCOMPATIBLE = -16,
    /** The name belongs to another user's clock, or its file has other permissions. \since 1.8 */
    VARNEX_E_ACCESS_DENIED = -17
} varnex_status;

/** \brief How a pacer waits (varnex_pacer_config::mode). \since 1.1 */
typedef enum varnex_mode {
    VARNEX_MODE_SPIN = 0,  /**< Spins on the counter to the deadline: the most precise, a whole core. */
    /** The operating system's absolute-deadline sleep: cheap, late by its wake-up latency. */
    VARNEX_MODE_SLEEP = 1,
    /** Sleeps until the deadline minus a margin, then spins: a spin's precision at a fraction of
        its CPU. The margin is learned from the sleeps' own oversleep, or fixed by
        varnex_pacer_config::margin_ns. When the margin reaches the time left, the wait spins. */
    VARNEX_MODE_HYBRID = 2
} varnex_mode;

/** \brief What a wait does when the host comes back after later deadlines passed
 * (varnex_pacer_config::missed). \since 1.1 */
typedef enum varnex_missed {
    /** Waits for the next deadline in the future on the grid; the ticks passed over are missed. */
    VARNEX_MISSED_SKIP = 0,
    /** Returns at once for each tick passed, oldest first, up to varnex_pacer_config::burst_cap in
        a row; the rest are skipped as with #VARNEX_MISSED_SKIP. */
    VARNEX_MISSED_BURST = 1,
    /** Returns the tick at once and moves the grid so that the next tick is one period later; the
        deadlines passed over are missed. */
    VARNEX_MISSED_DELAY = 2
} varnex_missed;

/** \brief Why a wait returned its tick when it did (varnex_tick::cause).
 *
 * A late tick has the first of #VARNEX_CAUSE_HOST_LATE, #VARNEX_CAUSE_PREEMPTED and
 * #VARNEX_CAUSE_OVERSLEPT that applies.
 * \since 1.6 */
typedef enum varnex_cause {
    VARNEX_CAUSE_UNKNOWN = 0,   /**< A library older than 1.6, or #VARNEX_PACER_NO_STATS. */
    /** Late by no more than the tick's on-time limit: the lateness budget, or #VARNEX_ON_TIME_NS
        without one. */
    VARNEX_CAUSE_ON_TIME = 1,
    /** The sleep, or the loop's wake-up on the readiness handle, came after the deadline; or
        (aligned) a step of the system clock made the tick due while the wait was not looking. */
    VARNEX_CAUSE_OVERSLEPT = 2,
    /** The last reading before the deadline and the reading that ended the spin lie further apart
        than the on-time limit: the thread did not run. */
    VARNEX_CAUSE_PREEMPTED = 3,
    /** The deadline had passed when the wait was called. With the readiness handle: ticks were
        passed over for the host's lateness, the tick was already due as the previous wait
        returned, or the wait was called later after the handle's wake-up than the loop's learned
        p99 latency. */
    VARNEX_CAUSE_HOST_LATE = 4
} varnex_cause;

/** \brief A tick's on-time limit, in ns, for a pacer without a lateness budget. \since 1.6 */
#define VARNEX_ON_TIME_NS 10000

/** \brief Flag of varnex_pacer_config::flags: keep no statistics; varnex_pacer_get_stats()
 * reports ticks and missed only. \since 1.1 */
#define VARNEX_PACER_NO_STATS 0x1u
/** \brief Flag: a signal whose handler interrupts the sleep of a wait ends it with
 * #VARNEX_E_INTERRUPTED, the tick not taken, so that the host can run its own handling and wait
 * again. Without it, the sleep goes on to the deadline. A spin is not interrupted. POSIX only.
 * \since 1.2 */
#define VARNEX_PACER_RETURN_ON_SIGNAL 0x2u
/**
 * \brief Flag: the grid is on the system clock.
 *
 * Tick k is due where the system clock reads `phase + k * rate_den / rate_num` seconds since
 * 1970-01-01T00:00:00 UTC, in exact integer arithmetic, and varnex_tick::index counts k from
 * 1970: on machines whose clocks are synchronized, tick k is the same instant. The phase is from
 * 0 to under one period (-1: 0); the first wait returns the first grid point after the creation.
 * The pacer never sets or slews the clock.
 *
 * - A step of the clock forward misses the grid points it passed over, whatever the policy; a
 *   point it did not pass over is never missed (late, #VARNEX_CAUSE_OVERSLEPT, if the pacer saw
 *   the step after that point's instant).
 * - After a step back no tick comes until the clock is back at the one after the last returned:
 *   no index repeats. varnex_pacer_stats::clock_steps counts the steps.
 * - A clock that reads outside 1970 +/- 2^62 ns makes a wait return #VARNEX_E_NO_COUNTER, the
 *   tick not taken, until it is back in range.
 * - With #VARNEX_MISSED_DELAY: #VARNEX_E_INVALID_MISSED. No precise system clock (before
 *   Windows 8), or a counter too fast to count the time since 1970 in 62 bits:
 *   #VARNEX_E_NO_COUNTER.
 *
 * How the wait follows the clock, and how soon it sees a step: docs/aligned-fleets.md.
 * \since 1.5
 */
#define VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK 0x4u
/** \brief Flag, Linux, with #VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK: the grid is on CLOCK_TAI, which
 * has no leap seconds. While the kernel's TAI offset is 0, #VARNEX_E_NO_COUNTER. Without the
 * align flag, or on Windows: #VARNEX_E_INVALID_ARGUMENT. \since 1.5 */
#define VARNEX_PACER_TAI 0x8u
/**
 * \brief Flag: the grid follows a reference clock that the host observes.
 *
 * A display's refresh, an audio device's sample clock, a fieldbus's distributed clock, a PTP
 * hardware clock: tick k is due where the reference reads `phase + k * rate_den / rate_num`
 * seconds, as an aligned pacer's tick k is due where the system clock reads it, and
 * varnex_tick::index counts k from the reference's 0. The phase is from 0 to under one period
 * (-1: 0). The host reports the reference with varnex_pacer_observe(); the pacer estimates the
 * reference's offset and rate against the counter and steers its grid to it.
 *
 * - Before the first observation the grid runs on the counter at the nominal rate from the
 *   creation, with indices from 0. The first wait after an observation re-bases the grid and its
 *   index onto the reference (varnex_pacer_stats::reference_rebases, not missed ticks): the next
 *   tick is the first grid point still ahead.
 * - Each tick interval then differs from the estimated reference period by at most the slew
 *   limit (varnex_pacer_set_reference_options()), except at a step or a re-base.
 * - A phase error past the step threshold is a step, under the aligned grid's rule: no tick
 *   before its new instant, no index repeated, and only the grid points at or before the wait
 *   that finds the step are missed. A step back of the reference past the re-base threshold (a
 *   stream or a master restarted) re-bases the grid, its index included.
 * - Without an observation for the holdover time the grid runs on the last estimate.
 * - The estimate and the grid move only as a wait begins. A tick's deadline, once the wait before
 *   it has begun, moves only at a step or a re-base: the readiness handle, armed at each return,
 *   is stale only then, and the loop is told at its next call (#VARNEX_E_NOT_DUE with the handle
 *   re-armed, or the tick).
 * - With #VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK: #VARNEX_E_INVALID_ARGUMENT; with
 *   #VARNEX_MISSED_DELAY: #VARNEX_E_INVALID_MISSED.
 *
 * How to observe each kind of reference: docs/reference-clock.md.
 * \since 1.7
 */
#define VARNEX_PACER_FOLLOW_REFERENCE 0x10u

/** \brief What varnex_pacer_create() makes; varnex_pacer_config_init() fills in the defaults.
 * \since 1.1 */
typedef struct varnex_pacer_config {
    uint32_t size;      /**< sizeof(varnex_pacer_config). */
    uint32_t mode;      /**< A #varnex_mode; #VARNEX_MODE_SPIN by default. */
    /** The rate as ticks per second, rate_num / rate_den, exactly (30000/1001 for NTSC video).
        Both from 1 to 4294967295. When rate_num is 0, rate_hz is used instead. */
    uint32_t rate_num;
    uint32_t rate_den;  /**< The rate's denominator: see rate_num. */
    /** The rate as a double (29.97): converted once to the last convergent of its continued
        fraction whose numerator and denominator fit in 32 bits, which varnex_pacer_rate()
        reports. Its relative error is below 2.3e-10. */
    double rate_hz;
    /** The first deadline, in nanoseconds after creation, from 0 to 2^62 (146 years); -1 (the
        default) for one period. A phase whose deadline the counter cannot hold (on a counter
        faster than 1 GHz) gives #VARNEX_E_INVALID_PHASE. */
    int64_t phase_ns;
    uint32_t missed;    /**< A #varnex_missed; #VARNEX_MISSED_SKIP by default. */
    /** #VARNEX_MISSED_BURST: at most this many immediate returns in a row (default 4). */
    uint32_t burst_cap;
    uint32_t flags;     /**< VARNEX_PACER_* flags. */
    /** #VARNEX_MODE_HYBRID: a fixed margin in nanoseconds; 0 (the default) to learn it from the
        sleeps' own oversleep. A learned margin is at least 10 us. A late wake-up widens it at
        once only up to half the period, but after a burst of stalls it may reach the period: the
        wait then spins, and now and then sleeps half the time left as a probe. With the readiness
        handle out, the handle's margin is at most half the period. Ignored in the other modes.
        How it learns: docs/pacer.md.
        \since 1.2 (was `reserved`, 0, in 1.1) */
    uint32_t margin_ns;
} varnex_pacer_config;

/** \brief What a wait returns (varnex_pacer_wait()). \since 1.1 */
typedef struct varnex_tick {
    uint32_t size;        /**< sizeof(varnex_tick), set by the caller. */
    /** A #varnex_cause, written by a wait that returns #VARNEX_OK. \since 1.6 (was reserved) */
    uint32_t cause;
    uint64_t index;       /**< Tick k: the first tick is 0; aligned, k counts from 1970. */
    uint64_t missed;      /**< Ticks passed over since the previous return. */
    int64_t lateness_ns;  /**< The reading that ended the wait, minus tick k's deadline. */
    int64_t interval_ns;  /**< Since the previous return (since creation for the first). */
    double lateness_s;    /**< lateness_ns in seconds. */
    double interval_s;    /**< interval_ns in seconds. */
} varnex_tick;

/** \brief A pacer's statistics (varnex_pacer_get_stats()).
 *
 * A host may pass an older, shorter struct: each size gets the fields within it.
 * \since 1.1 */
typedef struct varnex_pacer_stats {
    uint32_t size;          /**< sizeof(varnex_pacer_stats), set by the caller. */
    uint32_t reserved;      /**< 0. */
    uint64_t ticks;         /**< Ticks returned. */
    uint64_t missed;        /**< Ticks passed over. */
    /** Lateness of the returned ticks at the median, from a log-linear histogram: within 1/64
        (1.6%) of the exact value up to 2^41 ns (36.6 minutes), beyond which a lateness counts as
        36.6 minutes; 0 before the first tick. A tick enters the lateness figures, the drift and
        spin_ns as the next wait begins; every count is taken with the tick. */
    int64_t lateness_p50_ns;
    int64_t lateness_p99_ns;  /**< The same at p99. */
    int64_t lateness_p999_ns; /**< The same at p99.9. */
    int64_t lateness_max_ns;  /**< The largest lateness, exact. */
    /** Mean lateness of the latest 1,000 ticks minus that of the first 1,000, each without its
        highest and lowest 5%: 0 until 2,000 ticks. */
    int64_t drift_ns;
    int64_t spin_ns;         /**< Time the waits spent spinning, from the readings they took. */
    int64_t sleep_ns;        /**< Time the waits spent asleep. */
    /** CPU time of the thread that first waited, read now; -1 if unknown, and from the moment
        that thread has ended. */
    int64_t cpu_ns;
    /** The hybrid margin the next wait will sleep with; 0 in the other modes.
        \since 1.2 (size 96; a size of 88 gets the fields above) */
    int64_t margin_ns;
    /** The VARNEX_CONTROL_* bits set by varnex_pacer_set_controls() that the latest waits found
        in effect. \since 1.3 (size 112) */
    uint32_t controls_active;
    /** The controls the system refused for want of a privilege. \since 1.3 */
    uint32_t controls_denied;
    /** The controls this system does not have. \since 1.3 */
    uint32_t controls_unsupported;
    /** The steps of the system clock that an aligned pacer saw, and (1.8) the resets of the
        simulated clock that a pacer on one applied. Earlier libraries leave this and the next
        three fields unwritten: check varnex_version() first. \since 1.5 (size 128) */
    uint32_t clock_steps;
    /** The sum of the steps' sizes, forward and back alike; for a reset, from the clock's reading
        at the pacer's previous look to the reset's reading. \since 1.5 */
    int64_t clock_step_ns;
    /** The kernel's view of the system clock (Linux, adjtimex): 1 while it is synchronized, 0
        while STA_UNSYNC is set; -1 elsewhere, or if unknown. \since 1.5 */
    int32_t clock_synchronized;
    int32_t clock_error_us;     /**< The kernel's estimated error, in us; -1 if unknown. \since 1.5 */
    /** The ticks returned later than their on-time limit (the lateness budget, or
        #VARNEX_ON_TIME_NS without one); 0 with #VARNEX_PACER_NO_STATS. \since 1.6 (size 160) */
    uint64_t late_ticks;
    uint64_t late_overslept;  /**< Of late_ticks, those #VARNEX_CAUSE_OVERSLEPT. \since 1.6 */
    uint64_t late_preempted;  /**< Of late_ticks, those #VARNEX_CAUSE_PREEMPTED. \since 1.6 */
    uint64_t late_host_late;  /**< Of late_ticks, those #VARNEX_CAUSE_HOST_LATE. \since 1.6 */
    /** For a pacer that follows a reference, its #varnex_reference_state; 0 for the others, as
        are the fields after it. \since 1.7 (size 224) */
    uint32_t reference_state;
    uint32_t reference_rebases;         /**< Re-bases of the grid onto the reference. \since 1.7 */
    /** The grid's next deadline minus where the estimate puts the reference's instant for it:
        above 0 while the grid ticks later than the reference. \since 1.7 */
    int64_t reference_phase_error_ns;
    /** The reference's rate against the counter, in parts per billion: above 0 while it runs
        fast. \since 1.7 */
    int64_t reference_rate_offset_ppb;
    int64_t reference_jitter_ns;        /**< The observations' noise against the estimate, RMS. \since 1.7 */
    uint64_t reference_steps;           /**< Phase errors past the step threshold, stepped. \since 1.7 */
    uint64_t reference_observations;    /**< Observations the estimator took. \since 1.7 */
    uint64_t reference_dropped;         /**< Observations a full queue dropped, the oldest first. \since 1.7 */
    /** Observations rejected as too far from the estimate, or stamped later than the clock as the
        wait took them. \since 1.7 */
    uint64_t reference_outliers;
} varnex_pacer_stats;

/** \brief A following pacer's reference (varnex_pacer_stats::reference_state). \since 1.7 */
typedef enum varnex_reference_state {
    VARNEX_REFERENCE_NONE = 0,      /**< Not following, or no observation yet. */
    /** Observed, but the estimate or the grid not yet settled on it, or the latest two observations
        or more rejected: the reference may have stepped, and the grid not yet followed. */
    VARNEX_REFERENCE_ACQUIRING = 1,
    /** The estimate has settled and took one of the latest two observations at least, and the
        grid's phase error is within 20 us or three times the estimate's own uncertainty, whichever
        is larger. */
    VARNEX_REFERENCE_LOCKED = 2,
    /** No observation for the holdover time: the grid runs on the last estimate. */
    VARNEX_REFERENCE_HOLDOVER = 3
} varnex_reference_state;

/** \brief How a following pacer steers its grid (varnex_pacer_set_reference_options()).
 *
 * A field left 0 takes its default. The defaults serve a display (60 Hz, a few hundred us of
 * jitter) and an audio device (hundreds of observations a second, tens of us of jitter).
 * \since 1.7 */
typedef struct varnex_reference_options {
    uint32_t size;     /**< sizeof(varnex_reference_options). */
    /** How much a tick interval may differ from the estimated reference period to correct the
        phase, in parts per million of the period: 1 to 100000; default 500. */
    uint32_t slew_ppm;
    int64_t step_threshold_ns;   /**< A phase error past this is stepped, not slewed: default 2 ms. */
    /** A step back of the reference past this re-bases the grid, its index included: default
        100 ms, and at least the step threshold. */
    int64_t rebase_threshold_ns;
    int64_t holdover_ns;         /**< No observation for this long is holding over: default 1 s. */
} varnex_reference_options;

/** \name Scheduling and power controls
 * Bits of varnex_pacer_controls::flags. Each applies to the thread that waits, only while the
 * pacer needs it, and puts back exactly what was there: the thread is the host's. A thread in a
 * state that could not be put back is left alone, and the control is reported unsupported. All
 * are off by default. What each costs: docs/controls.md.
 * \since 1.3
 * @{ */
/** Highest priority while spinning (Linux: nice -20; Windows: THREAD_PRIORITY_TIME_CRITICAL). */
#define VARNEX_CONTROL_BOOST 0x1u
/** The thread runs on varnex_pacer_controls::affinity_mask's CPUs while it waits; its own set
    comes back. */
#define VARNEX_CONTROL_AFFINITY 0x2u
/** Linux: SCHED_FIFO at varnex_pacer_controls::realtime_priority while it sleeps, then the
    thread's own policy, priority and timer slack. Not for a spin-mode pacer; a SCHED_DEADLINE
    thread is left alone, and a pacer whose readiness handle is out never sleeps (unsupported). */
#define VARNEX_CONTROL_REALTIME 0x4u
/** The pacer's own memory, pages that it shares with nothing, stays in RAM for its life; the
    unlock touches no other memory, the host's own locks included. */
#define VARNEX_CONTROL_LOCK_MEMORY 0x8u
/** Linux: holds /dev/cpu_dma_latency at varnex_pacer_controls::dma_latency_us for the pacer's
    life, keeping deep C-states off. */
#define VARNEX_CONTROL_DMA_LATENCY 0x10u
/** Windows: no power throttling (EcoQoS) while it waits, then the thread's own state; where the
    system cannot report it (before Windows 11), "system managed". */
#define VARNEX_CONTROL_NO_THROTTLING 0x20u
/** Windows: the MMCSS "Pro Audio" class while it waits. */
#define VARNEX_CONTROL_MMCSS 0x40u
/** @} */

/** \brief A pacer's controls (varnex_pacer_set_controls()). \since 1.3 */
typedef struct varnex_pacer_controls {
    uint32_t size;              /**< sizeof(varnex_pacer_controls). */
    uint32_t flags;             /**< VARNEX_CONTROL_* bits. */
    /** #VARNEX_CONTROL_AFFINITY: bit n for CPU n; at least one CPU that the calling thread may
        run on (32-bit Windows: CPUs 0 to 31 only). A mask that the system no longer accepts
        when the wait comes (none of its CPUs left to the process) is reported unsupported. */
    uint64_t affinity_mask;
    uint32_t realtime_priority; /**< #VARNEX_CONTROL_REALTIME: 1 to 99. */
    uint32_t dma_latency_us;    /**< #VARNEX_CONTROL_DMA_LATENCY: the exit latency to allow, in us. */
} varnex_pacer_controls;

/** \brief A pacer, opaque: made by varnex_pacer_create(), ended by varnex_pacer_destroy().
 * \since 1.1 */
typedef struct varnex_pacer varnex_pacer;

/**
 * \brief The version of the library that is loaded.
 * \returns `(major << 16) | (minor << 8) | patch`, as #VARNEX_VERSION gives the headers'.
 * \threadsafety Any thread.
 * \since 1.1
 */
VARNEX_API uint32_t VARNEX_CALL varnex_version(void);

/**
 * \brief Names a status.
 * \param status A #varnex_status, or any other integer.
 * \returns A fixed English text; never null.
 * \threadsafety Any thread.
 * \since 1.1
 */
VARNEX_API const char* VARNEX_CALL varnex_strerror(int status);

/**
 * \brief Fills in the defaults: spin mode, skip, burst cap 4, phase one period; no rate.
 * \param config The configuration to fill in, size included.
 * \threadsafety Any thread.
 * \since 1.1
 */
VARNEX_API void VARNEX_CALL varnex_pacer_config_init(varnex_pacer_config* config);

/**
 * \brief Creates a pacer.
 * \param config Its configuration, from varnex_pacer_config_init() with a rate set.
 * \param pacer Receives the pacer; null on failure, when nothing was created.
 * \returns #VARNEX_OK, #VARNEX_E_INVALID_ARGUMENT, #VARNEX_E_INVALID_RATE, #VARNEX_E_INVALID_MODE,
 *          #VARNEX_E_INVALID_MISSED, #VARNEX_E_INVALID_PHASE, #VARNEX_E_NO_MEMORY or
 *          #VARNEX_E_NO_COUNTER.
 * \threadsafety Any thread.
 * \since 1.1
 */
VARNEX_API int VARNEX_CALL varnex_pacer_create(const varnex_pacer_config* config, varnex_pacer** pacer);

/**
 * \brief Destroys a pacer, and closes its readiness handle after making it ready, so that a loop
 * still blocked on it in `poll` or `select` (Windows: in a wait on the handle) wakes. An epoll set
 * drops a descriptor as it is closed, readiness and all: a loop in `epoll_wait` (asyncio's on
 * Linux) may sleep on.
 *
 * With the handle in an event loop, destroy in this order: varnex_pacer_cancel(); let the loop
 * see the handle ready and remove it (`epoll_ctl(EPOLL_CTL_DEL)`, asyncio's `remove_reader`);
 * then destroy. A descriptor closed while a loop still has it registered may, reused, alias an
 * unrelated file.
 * \param pacer The pacer, or null (nothing is done).
 * \threadsafety Not while another thread waits on the pacer: cancel, and destroy once that wait
 *               has returned.
 * \since 1.1
 */
VARNEX_API void VARNEX_CALL varnex_pacer_destroy(varnex_pacer* pacer);

/**
 * \brief Returns when the next tick is due.
 * \param pacer The pacer.
 * \param tick Receives the tick (its size set by the caller), or null. A wait that returns
 *             anything but #VARNEX_OK leaves it as it was.
 * \returns #VARNEX_OK; #VARNEX_E_CANCELLED after varnex_pacer_cancel(); #VARNEX_E_INTERRUPTED
 *          (#VARNEX_PACER_RETURN_ON_SIGNAL); #VARNEX_E_NOT_DUE once the readiness handle is out;
 *          #VARNEX_E_NO_COUNTER when the system refused the sleep or its timer;
 *          #VARNEX_E_INVALID_ARGUMENT for a null pacer or an unknown tick size.
 * \threadsafety One thread at a time per pacer.
 * \since 1.1
 */
VARNEX_API int VARNEX_CALL varnex_pacer_wait(varnex_pacer* pacer, varnex_tick* tick);

/**
 * \brief Makes the wait in progress, or else the next one, return #VARNEX_E_CANCELLED promptly
 * (a spin at once, a sleep within 10 ms), and the readiness handle, if there is one, ready at
 * once. The tick is not consumed: a later wait waits for it again.
 * \param pacer The pacer.
 * \returns #VARNEX_OK, or #VARNEX_E_INVALID_ARGUMENT for a null pacer.
 * \threadsafety Any thread, also while another waits.
 * \since 1.1
 */
VARNEX_API int VARNEX_CALL varnex_pacer_cancel(varnex_pacer* pacer);

/**
 * \brief Reads the pacer's statistics; it never calls the allocator.
 * \param pacer The pacer.
 * \param stats Receives them. Any size from 88 (version 1.1's) on is taken: the fields within it
 *              that this library knows are written, and nothing beyond them.
 * \returns #VARNEX_OK, or #VARNEX_E_INVALID_ARGUMENT.
 * \threadsafety Any thread, also while another waits.
 * \since 1.1
 */
VARNEX_API int VARNEX_CALL varnex_pacer_get_stats(varnex_pacer* pacer, varnex_pacer_stats* stats);

/**
 * \brief Sets the pacer's controls, replacing any set before.
 *
 * Whether each took effect shows in varnex_pacer_stats::controls_active, controls_denied and
 * controls_unsupported: a missing privilege is never a failure of the wait, and never silent.
 * \param pacer The pacer.
 * \param controls The controls; flags 0 for none.
 * \returns #VARNEX_OK; #VARNEX_E_INVALID_CONTROL for a control the pacer cannot take
 *          (#VARNEX_CONTROL_REALTIME in spin mode, an affinity mask with no CPU the calling thread
 *          may use, a priority outside 1 to 99); #VARNEX_E_NO_MEMORY; either failure changes
 *          nothing. #VARNEX_E_INVALID_ARGUMENT.
 * \threadsafety Between waits, from the thread that waits.
 * \since 1.3
 */
VARNEX_API int VARNEX_CALL varnex_pacer_set_controls(varnex_pacer* pacer, const varnex_pacer_controls* controls);

/**
 * \brief The pacer's readiness handle, for a host that waits in an event loop.
 *
 * Linux: a timerfd descriptor (non-blocking, close-on-exec) that becomes readable; Windows: a
 * manual-reset waitable timer HANDLE that becomes signalled. It is ready at the wake-up of the
 * tick that the next wait will return (the deadline minus the margin in hybrid mode, the deadline
 * in sleep mode); the host then calls varnex_pacer_wait(), which spins the rest.
 *
 * The first call creates and arms the handle; a second gives the same one. The pacer owns it: the
 * host never reads from it, resets it or closes it. Once it is out, a wait never sleeps: before
 * the wake-up it returns #VARNEX_E_NOT_DUE at once, and every return, whatever its status, arms
 * the handle for the tick that the next wait will return. A hybrid's margin is then at most half
 * the period. varnex_pacer_cancel() makes the handle ready. How a loop uses it:
 * docs/event-loops.md.
 * \param pacer The pacer.
 * \param handle Receives the handle.
 * \returns #VARNEX_OK; #VARNEX_E_INVALID_MODE for a spin-mode pacer; #VARNEX_E_NO_COUNTER when
 *          the system gives no timer (a process out of descriptors); #VARNEX_E_INVALID_ARGUMENT.
 * \threadsafety Between waits, from the thread that waits.
 * \since 1.4
 */
VARNEX_API int VARNEX_CALL varnex_pacer_wait_handle(varnex_pacer* pacer, intptr_t* handle);

/**
 * \brief Sets the p99 lateness this host accepts, for a hybrid pacer that learns its margin.
 *
 * The margin becomes the p99 of the sleeps' oversleep (over the latest 512 to 1,024 ticks) less
 * the budget, and may be 0; with the readiness handle, the same holds for the loop's latency. The
 * budget is each tick's on-time limit, also when it is longer than the period: late_ticks in the
 * statistics says whether it holds. With the readiness handle out, it re-arms the handle by the
 * new margin. How to choose one: docs/lateness-budget.md.
 * \param pacer The pacer.
 * \param p99_ns The budget in nanoseconds; 0 (the default) for none.
 * \returns #VARNEX_OK; #VARNEX_E_INVALID_MODE in spin or sleep mode, or with a fixed
 *          varnex_pacer_config::margin_ns; #VARNEX_E_INVALID_ARGUMENT for a negative budget.
 * \threadsafety Between waits, from the thread that waits.
 * \since 1.6
 */
VARNEX_API int VARNEX_CALL varnex_pacer_set_lateness_budget(varnex_pacer* pacer, int64_t p99_ns);

/**
 * \brief Reports that the reference read reference_ns when the library's clock read local_ns.
 *
 * For a pacer created with #VARNEX_PACER_FOLLOW_REFERENCE. The observation is stamped and queued,
 * and the estimator takes it as the next wait begins. The call never blocks, never allocates and
 * enters the system only to read the counter: an audio callback may make it. The queue holds 256
 * observations; when it is full, the oldest is dropped and counted
 * (varnex_pacer_stats::reference_dropped).
 * \param pacer The pacer.
 * \param reference_ns The reference's reading, in nanoseconds from its own 0: 0 to 2^62 (on a
 *        counter faster than 1 GHz, to what it counts in 2^62 counts).
 * \param local_ns varnex_clock_ns() at the instant of that reading, or -1 for now. A stamp later
 *        than the clock as the next wait takes the observation (another clock's, or another
 *        unit's) is rejected as an outlier (varnex_pacer_stats::reference_outliers).
 * \returns #VARNEX_OK; #VARNEX_E_INVALID_ARGUMENT for a null pacer, one that follows no reference,
 *          a reference_ns out of its range or a local_ns below -1.
 * \threadsafety One thread at a time, beside the thread that waits (the two may be one); never
 *               while another thread destroys the pacer.
 * \since 1.7
 */
VARNEX_API int VARNEX_CALL varnex_pacer_observe(varnex_pacer* pacer, int64_t reference_ns, int64_t local_ns);

/**
 * \brief Sets how a following pacer steers its grid, from the next wait on.
 * \param pacer The pacer.
 * \param options The options, size set; a field left 0 takes its default.
 * \returns #VARNEX_OK; #VARNEX_E_INVALID_ARGUMENT for a null pointer, an unknown size, a pacer
 *          that follows no reference, a value outside its range or a negative one, or a re-base
 *          threshold below the step threshold.
 * \threadsafety Between waits, from the thread that waits.
 * \since 1.7
 */
VARNEX_API int VARNEX_CALL varnex_pacer_set_reference_options(varnex_pacer* pacer,
                                                              const varnex_reference_options* options);

/**
 * \brief The library's clock, the one every wait runs on, in nanoseconds.
 *
 * On Linux exactly CLOCK_MONOTONIC; on Windows the performance counter as
 * `floor(counter * 10^9 / frequency)`. Hosts stamp their observations of a reference with it (or
 * with a reading of the same clock of their own).
 * \returns The time, from an origin of the system's (Linux: the boot; Windows: the counter's 0);
 *          -1 where there is no counter.
 * \threadsafety Any thread.
 * \since 1.7
 */
VARNEX_API int64_t VARNEX_CALL varnex_clock_ns(void);

/**
 * \brief The rate in use, as the exact fraction ticks per second = *rate_num / *rate_den.
 * \param pacer The pacer.
 * \param rate_num Receives the numerator.
 * \param rate_den Receives the denominator.
 * \returns #VARNEX_OK, or #VARNEX_E_INVALID_ARGUMENT.
 * \threadsafety Any thread.
 * \since 1.1
 */
VARNEX_API int VARNEX_CALL varnex_pacer_rate(const varnex_pacer* pacer, uint32_t* rate_num, uint32_t* rate_den);

/** \name A clock the host drives
 * A simulated clock reads nanoseconds that only the host moves, with varnex_sim_clock_advance().
 * A pacer made on it by varnex_pacer_create_on() ticks on its readings: a test runs an hour of
 * ticks in moments, exactly the same every run, and a loop runs in lockstep with a simulator,
 * in one process or (a named clock) across processes. The guide: docs/virtual-time.md.
 *
 * A pacer on a clock is *busy* from its creation until its first wait, and from each tick it
 * takes until its next call to varnex_pacer_wait(). It is *back* while that call blocks (a host
 * without the readiness handle), or once it returned #VARNEX_E_NOT_DUE (a host on the handle): a
 * handle host calls varnex_pacer_wait() as soon as its work is done. A pacer is *pending* at a
 * reading while it is busy, or back waiting for a deadline at or before that reading. Settle and
 * auto-advance both go by this.
 * \since 1.8
 * @{ */

/** Flag of varnex_sim_clock_config::flags: whenever no pacer on the clock is pending, the clock
    moves to the earliest deadline that its pacers wait for. A clock with no pacer stands still,
    and a pacer that stays busy stalls it. */
#define VARNEX_SIM_AUTO_ADVANCE 0x1u

/** \brief A simulated clock, opaque: made by varnex_sim_clock_create() or
 * varnex_sim_clock_open(), released by varnex_sim_clock_destroy(). */
typedef struct varnex_sim_clock varnex_sim_clock;

/** \brief What varnex_sim_clock_create() makes: 80 bytes on every target. */
typedef struct varnex_sim_clock_config {
    uint32_t size;      /**< sizeof(varnex_sim_clock_config). */
    uint32_t flags;     /**< VARNEX_SIM_* bits. */
    int64_t start_ns;   /**< The first reading: 0 to 2^62. */
    /** Empty (all zero) for a clock of this process only; else the name that other processes of
        the same user open it by: 1 to 63 characters of `A-Z a-z 0-9 . _ -`, zero-terminated. */
    char name[64];
} varnex_sim_clock_config;

/**
 * \brief Makes a clock that reads `config->start_ns` until the host advances it.
 *
 * A named clock lives in a shared-memory file that only this user can open (Linux: /dev/shm,
 * 0600; Windows: the logon session's namespace). A name whose creator has ended is taken over.
 * \param config The clock's configuration.
 * \param clock Receives the clock; null on failure.
 * \returns #VARNEX_OK; #VARNEX_E_INVALID_ARGUMENT for a null pointer, a wrong size, unknown flags,
 *          a start outside 0 to 2^62 or a bad name; #VARNEX_E_NAME_IN_USE; #VARNEX_E_ACCESS_DENIED
 *          (the name's file is another user's, or not 0600); #VARNEX_E_NO_MEMORY;
 *          #VARNEX_E_NO_COUNTER when the system gives no shared memory or no event.
 * \threadsafety Any thread.
 */
VARNEX_API int VARNEX_CALL varnex_sim_clock_create(const varnex_sim_clock_config* config,
                                                   varnex_sim_clock** clock);

/**
 * \brief Opens, in this process, the named clock that another process of this user created.
 * \param name Its name.
 * \param clock Receives the clock; null on failure.
 * \returns #VARNEX_OK; #VARNEX_E_INVALID_ARGUMENT for a null pointer or a bad name;
 *          #VARNEX_E_NOT_FOUND; #VARNEX_E_CLOCK_GONE (its creator ended);
 *          #VARNEX_E_INCOMPATIBLE (not a clock of this version); #VARNEX_E_ACCESS_DENIED;
 *          #VARNEX_E_NO_MEMORY; #VARNEX_E_NO_COUNTER.
 * \threadsafety Any thread.
 */
VARNEX_API int VARNEX_CALL varnex_sim_clock_open(const char* name, varnex_sim_clock** clock);

/**
 * \brief Releases the host's reference to the clock. The clock lives on until the last pacer on it
 * is destroyed. The creator's destroy unlinks a named clock's name (a new create may take it), and
 * the other processes' waits on it end with #VARNEX_E_CLOCK_GONE once its last pacer is gone; an
 * opened clock's destroy closes this process's view.
 * \param clock The clock, or null (nothing is done).
 * \threadsafety Not while another thread advances it.
 */
VARNEX_API void VARNEX_CALL varnex_sim_clock_destroy(varnex_sim_clock* clock);

/**
 * \brief The clock's reading.
 * \param clock The clock.
 * \param now_ns Receives the reading, in the clock's nanoseconds.
 * \returns #VARNEX_OK, #VARNEX_E_INVALID_ARGUMENT or (an opened clock) #VARNEX_E_CLOCK_GONE, with
 *          the last reading.
 * \threadsafety Any thread.
 */
VARNEX_API int VARNEX_CALL varnex_sim_clock_now(const varnex_sim_clock* clock, int64_t* now_ns);

/**
 * \brief Moves the clock to `to_ns`, and with a settle waits until every pacer it made due is
 * back.
 *
 * - Forward: the pacers whose deadlines the clock passed take their ticks, as on the counter when
 *   a wait comes late: a pacer blocked in its wait returns the tick it waited for, late by the
 *   overshoot (#VARNEX_CAUSE_OVERSLEPT), and its next call applies the missed-tick policy.
 * - To the reading the clock has: nothing moves; a settle reports the pending pacers. A simulator
 *   in an event loop polls this way with a time-out of 0.
 * - Back (a reset: the simulator restarted its world): each pacer's next tick is due at `to_ns`
 *   plus its phase, its index going on, and the reset is counted in
 *   varnex_pacer_stats::clock_steps. Each pacer applies it in its own wait.
 *
 * The settle counts the pacers of every process on the clock. It does not wait for the pacers
 * that the calling thread itself waited on last: they cannot come back before this call returns,
 * and take their ticks at that thread's next wait. A pacer that has not waited yet is busy, and
 * waited for (a pacer that the advancing thread created and will wait on itself then gives
 * #VARNEX_E_TIMEOUT). A pacer destroyed, or in a process that ended, is not waited for.
 *
 * Any thread, in any process that has the clock, may advance it. Advances are serialised: each
 * moves the clock from the reading it finds, and their settles run side by side.
 * \param clock The clock.
 * \param to_ns The new reading: 0 to 2^62.
 * \param settle_timeout_ns How long to wait for the pacers, in real nanoseconds: 0 or more; or -1
 *        for not at all (running free).
 * \returns #VARNEX_OK; #VARNEX_E_TIMEOUT (the clock reads `to_ns`); #VARNEX_E_CLOCK_GONE (an
 *          opened clock whose creator ended: the clock did not move); #VARNEX_E_INVALID_ARGUMENT
 *          for a null clock, a reading outside 0 to 2^62 or a time-out below -1.
 * \threadsafety Any thread.
 */
VARNEX_API int VARNEX_CALL varnex_sim_clock_advance(varnex_sim_clock* clock, int64_t to_ns,
                                                    int64_t settle_timeout_ns);

/**
 * \brief Creates a pacer whose grid runs on the clock: tick k is due at the clock's reading at the
 * creation, plus the phase, plus k periods, in the same exact arithmetic as on the counter.
 *
 * A wait blocks on the clock and uses no CPU while it stands still; lateness is the clock's
 * reading at the return minus the deadline (0 when the clock was advanced to the deadline while
 * the host waited); intervals are in the clock's nanoseconds; cpu_ns stays real, and sleep_ns is
 * the real time the waits were blocked.
 *
 * What does not apply: the mode (any valid mode is accepted; none spins, and spin_ns and
 * margin_ns read 0); a lateness budget (#VARNEX_E_INVALID_MODE); #VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK,
 * #VARNEX_PACER_TAI and #VARNEX_PACER_FOLLOW_REFERENCE (#VARNEX_E_INVALID_ARGUMENT). Every control
 * is accepted; #VARNEX_CONTROL_BOOST, #VARNEX_CONTROL_REALTIME, #VARNEX_CONTROL_NO_THROTTLING and
 * #VARNEX_CONTROL_MMCSS are reported unsupported. The readiness handle is allowed in every mode:
 * it turns ready when an advance makes the pacer due; an advance in another process reaches it
 * through a thread of the library's that watches a named clock for this process. That thread, one
 * per named clock with a handle out in the process, starts with the first handle (again in a
 * forked child, at its first wait), blocks on the clock, wakes 10 times a second while idle to see
 * whether the creator lives, and ends as the last pacer on the clock and the clock's handle are
 * destroyed. Destroy them before the library is unloaded: a watcher still running then would run
 * code that is gone.
 *
 * After a fork, the child's copy of a pacer on a named clock takes a place of its own on the clock
 * at its first wait, and leaves the parent's pacer be; a copy of a clock of one process only is a
 * separate clock in the child.
 *
 * The pacer holds a reference to the clock: the clock lives until this pacer is destroyed.
 * \param config As for varnex_pacer_create().
 * \param clock The clock.
 * \param pacer Receives the pacer; null on failure.
 * \returns As varnex_pacer_create(); #VARNEX_E_CLOCK_GONE; #VARNEX_E_NO_MEMORY when the clock has
 *          no room for another pacer (256 per clock).
 * \threadsafety Any thread.
 */
VARNEX_API int VARNEX_CALL varnex_pacer_create_on(const varnex_pacer_config* config, varnex_sim_clock* clock,
                                                  varnex_pacer** pacer);
/** @} */

#ifdef __cplusplus
}
#endif

#endif
