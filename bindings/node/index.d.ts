// The types of the package varnex (lib/index.js); docs/node.md is the guide.
// Every 64-bit integer of the C interface is a bigint; durations in seconds
// are numbers.

// generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit
export type Mode = 'spin' | 'sleep' | 'hybrid';
export type Missed = 'skip' | 'burst' | 'delay';
export type Cause = 'unknown' | 'on_time' | 'overslept' | 'preempted' | 'host_late';
export type ReferenceState = 'none' | 'acquiring' | 'locked' | 'holdover';
export type ControlName = 'boost' | 'affinity' | 'realtime' | 'lock_memory' | 'dma_latency' | 'no_throttling' | 'mmcss';
/** The library's status codes (varnex_status). */
export declare const Status: {
    readonly OK: 0;
    readonly INVALID_ARGUMENT: -1;
    readonly INVALID_RATE: -2;
    readonly INVALID_MODE: -3;
    readonly INVALID_MISSED: -4;
    readonly INVALID_PHASE: -5;
    readonly NO_MEMORY: -6;
    readonly NO_COUNTER: -7;
    readonly CANCELLED: -8;
    readonly INTERRUPTED: -9;
    readonly INVALID_CONTROL: -10;
    readonly NOT_DUE: -11;
    readonly TIMEOUT: -12;
    readonly NAME_IN_USE: -13;
    readonly NOT_FOUND: -14;
    readonly CLOCK_GONE: -15;
    readonly INCOMPATIBLE: -16;
    readonly ACCESS_DENIED: -17;
};
// end of generated constants

export interface Controls {
    /** Highest priority while spinning. */
    boost?: boolean;
    /** CPU numbers, 0 to 63, that the waiting thread runs on while it waits. */
    affinity?: Iterable<number>;
    /** 1 to 99: SCHED_FIFO while it sleeps (not for spin mode). */
    realtimePriority?: number;
    /** The pacer's own memory stays in RAM. */
    lockMemory?: boolean;
    /** Holds /dev/cpu_dma_latency at this many microseconds for the pacer's life. */
    dmaLatencyUs?: number;
    /** Windows only; reported unsupported here. */
    noThrottling?: boolean;
    /** Windows only; reported unsupported here. */
    mmcss?: boolean;
}

export interface PacerOptions {
    /** Ticks per second: a number (29.97), or an exact [numerator, denominator] pair. */
    rate: number | [number, number];
    /** Default 'hybrid': sleeps to a learned margin before the deadline, then spins. */
    mode?: Mode;
    /** Default 'skip'. */
    missed?: Missed;
    /** Seconds to the first deadline (default one period); aligned or following: under one period. */
    phase?: number;
    /** With missed 'burst': immediate returns in a row at most (default 4). */
    burstCap?: number;
    /** A fixed hybrid margin in seconds (default: learned). */
    margin?: number;
    /** The grid on the system clock ('tai': on CLOCK_TAI): tick k where it reads phase + k periods since 1970. */
    align?: 'system' | 'tai';
    /** The grid follows a reference the host reports with observe(). */
    follow?: 'reference';
    /** The p99 lateness in seconds this host accepts (hybrid with a learned margin). */
    budget?: number;
    controls?: Controls;
    /** The grid on a clock the host drives: tick k at its reading at the creation plus the phase plus k periods. */
    clock?: SimClock;
}

export interface SimClockOptions {
    /** The first reading, 0n to 2n ** 62n; default 0n. */
    startNs?: bigint;
    /** Whenever no pacer on the clock is pending, it moves to the earliest deadline they wait for. */
    autoAdvance?: boolean;
    /** 1 to 63 characters of A-Z a-z 0-9 . _ -: other processes of this user open the clock by it. */
    name?: string;
}

export interface Tick {
    /** Tick k: the first is 0; aligned, k counts from 1970; following, from the reference's 0. */
    index: bigint;
    /** Ticks passed over since the previous return. */
    missed: bigint;
    /** The reading that ended the wait minus the tick's deadline. */
    latenessNs: bigint;
    /** Since the previous return (since creation for the first). */
    intervalNs: bigint;
    /** latenessNs in seconds. */
    lateness: number;
    /** intervalNs in seconds. */
    interval: number;
    /** Why the tick came when it did. */
    cause: Cause;
}

/** Durations in seconds; counts as bigint. */
export interface Stats {
    ticks: bigint;
    missed: bigint;
    latenessP50: number;
    latenessP99: number;
    latenessP999: number;
    latenessMax: number;
    drift: number;
    spin: number;
    sleep: number;
    /** CPU time of the thread that first waited; null if unknown. */
    cpu: number | null;
    margin: number;
    controlsActive: ControlName[];
    controlsDenied: ControlName[];
    controlsUnsupported: ControlName[];
    clockSteps: number;
    clockStep: number;
    clockSynchronized: boolean | null;
    clockError: number | null;
    lateTicks: bigint;
    lateOverslept: bigint;
    latePreempted: bigint;
    lateHostLate: bigint;
    referenceState: ReferenceState;
    referencePhaseError: number;
    referenceRateOffsetPpb: bigint;
    referenceJitter: number;
    referenceSteps: bigint;
    referenceRebases: number;
    referenceObservations: bigint;
    referenceDropped: bigint;
    referenceOutliers: bigint;
}

export interface ReferenceOptions {
    /** 1 to 100000 ppm of the period; default 500. */
    slewPpm?: number;
    /** Seconds; default 2 ms. */
    stepThreshold?: number;
    /** Seconds; default 100 ms. */
    rebaseThreshold?: number;
    /** Seconds; default 1 s. */
    holdover?: number;
}

export declare class VarnexError extends Error {
    /** The library's status; null for the binding's own errors and libuv's. */
    readonly status: number | null;
    /**
     * The status's name ('CANCELLED', ...); 'CLOSED' or 'BUSY' (a wait is pending) for the binding's own;
     * libuv's name ('EBADF', ...) when the loop could not watch the readiness handle.
     */
    readonly code: string;
}

export declare class Pacer implements AsyncIterable<Tick> {
    constructor(options: PacerOptions);
    /** Blocks this thread until the next tick: for worker threads. A worker's terminate() waits for it. */
    waitSync(): Tick;
    /** The next tick, without blocking the event loop; rejects at once while another wait is pending. */
    wait(): Promise<Tick>;
    [Symbol.asyncIterator](): AsyncGenerator<Tick, never, undefined>;
    /** Ends the pending wait, or else the next, with a CANCELLED error. */
    cancel(): void;
    readonly stats: Stats;
    /** The exact rate in use: [numerator, denominator] ticks per second. */
    readonly rate: [number, number];
    setLatenessBudget(budget: number): void;
    setControls(controls: Controls): void;
    /** The reference read referenceNs when clockNs() read localNs (default: now). */
    observe(referenceNs: bigint, localNs?: bigint): void;
    setReferenceOptions(options: ReferenceOptions): void;
    /** Destroys the pacer; a pending wait rejects with a CLOSED error. */
    close(): void;
}

/** A clock whose reading, in ns, only the host moves. */
export declare class SimClock {
    constructor(options?: SimClockOptions);
    /** The named clock that another process of this user created. */
    static open(name: string): SimClock;
    /** The reading, in the clock's ns. */
    readonly nowNs: bigint;
    /**
     * Moves the clock to toNs. With settle (seconds), resolves once every pacer the advance made due
     * is back in its wait, or rejects with a TIMEOUT error; without, the clock moves before the call returns.
     */
    advanceNs(toNs: bigint, settle?: number): Promise<void>;
    /** advanceNs, blocking this thread for the settle: for worker threads. */
    advanceNsSync(toNs: bigint, settle?: number): void;
    /** Releases this reference; the clock's pacers keep it until they are closed. */
    close(): void;
}

/** A tick's on-time limit, in ns, for a pacer without a lateness budget. */
export declare const ON_TIME_NS: number;
/** The library's version: (major << 16) | (minor << 8) | patch. */
export declare function version(): number;
/** The library's clock, the one every wait runs on, in ns. */
export declare function clockNs(): bigint;
