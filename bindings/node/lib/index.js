'use strict';
// Paces a Node.js loop on a grid of deadlines that does not drift: the
// library's pacer through its Node-API addon (src/addon.c). docs/node.md is
// the guide; index.d.ts gives every type.
//
// On the event loop, `await pacer.wait()` and `for await (const tick of
// pacer)` watch the pacer's readiness handle, which becomes ready a learned
// margin before each deadline; the loop is blocked only for the final spin.
// The watcher runs only while a wait is pending. In a worker thread,
// waitSync() blocks that thread for the whole wait.
//
// A SimClock is a clock the host drives: a pacer made with { clock } ticks
// on its readings, which only advanceNs() moves. An advance that settles
// waits in libuv's thread pool, so that the pacers on this loop come back
// meanwhile.
//
// Numbers: every 64-bit integer of the C interface (tick.index, tick.missed,
// the ns fields, the statistics' counts) is a BigInt; durations in seconds
// are plain numbers.
const path = require('path');

// generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit
const Status = Object.freeze({
    OK: 0,
    INVALID_ARGUMENT: -1,
    INVALID_RATE: -2,
    INVALID_MODE: -3,
    INVALID_MISSED: -4,
    INVALID_PHASE: -5,
    NO_MEMORY: -6,
    NO_COUNTER: -7,
    CANCELLED: -8,
    INTERRUPTED: -9,
    INVALID_CONTROL: -10,
    NOT_DUE: -11,
    TIMEOUT: -12,
    NAME_IN_USE: -13,
    NOT_FOUND: -14,
    CLOCK_GONE: -15,
    INCOMPATIBLE: -16,
    ACCESS_DENIED: -17,
});
const MODES = Object.freeze({
    spin: 0,
    sleep: 1,
    hybrid: 2,
});
const MISSED = Object.freeze({
    skip: 0,
    burst: 1,
    delay: 2,
});
const CAUSES = Object.freeze({0: 'unknown', 1: 'on_time', 2: 'overslept', 3: 'preempted', 4: 'host_late'});
const REFERENCE_STATES = Object.freeze({0: 'none', 1: 'acquiring', 2: 'locked', 3: 'holdover'});
const PACER_FLAGS = Object.freeze({
    no_stats: 0x1,
    return_on_signal: 0x2,
    align_to_system_clock: 0x4,
    tai: 0x8,
    follow_reference: 0x10,
});
const CONTROL_BITS = Object.freeze({
    boost: 0x1,
    affinity: 0x2,
    realtime: 0x4,
    lock_memory: 0x8,
    dma_latency: 0x10,
    no_throttling: 0x20,
    mmcss: 0x40,
});
const SIM_FLAGS = Object.freeze({
    auto_advance: 0x1,
});
const ON_TIME_NS = 10000;
// end of generated constants

// The build tree's tests name their addon; an installed package has its own.
const addon = require(process.env.VARNEX_NODE_ADDON || path.join(__dirname, '..', 'build', 'Release', 'varnex.node'));

const UINT32_MAX = 0xFFFFFFFF;
const INT64_MAX = 2n ** 63n - 1n;
const MAX_READING_NS = 2n ** 62n;
// A name the binding does not know reaches the library as this value, so that
// the library's own message says what is valid.
const UNKNOWN = UINT32_MAX;
const STATUS_NAMES = Object.fromEntries(Object.entries(Status).map(([name, value]) => [value, name]));

class VarnexError extends Error {
    // status: the library's (a Status value); null for the binding's own
    // errors, whose code is 'CLOSED' (the pacer was closed) or 'BUSY' (a wait
    // is already pending), and for libuv's, whose code is libuv's name of the
    // error ('EBADF', ...): the loop could not watch the readiness handle.
    constructor(message, status, code) {
        super(message);
        this.name = 'VarnexError';
        this.status = status;
        this.code = code;
    }
}

function failure(status) {
    return new VarnexError(addon.strerror(status), status, STATUS_NAMES[status] || 'UNKNOWN');
}

function checked(result) {
    if (typeof result === 'number' && result !== Status.OK) {
        throw failure(result);
    }
    return result;
}

function nanoseconds(name, seconds, lowNs, highNs) {
    if (typeof seconds !== 'number' || Number.isNaN(seconds)) {
        throw new TypeError(`${name} must be a number of seconds`);
    }
    // Past about 1.8e299 s the product is Infinity, which BigInt() refuses
    // with a message that names nothing.
    const ns = Number.isFinite(seconds * 1e9) ? BigInt(Math.round(seconds * 1e9)) : -1n;
    if (ns < lowNs || ns > highNs) {
        const range = `from ${Number(lowNs) / 1e9} to ${Number(highNs) / 1e9} s`;
        throw new RangeError(`${name} must be ${range}, not ${seconds}`);
    }
    return ns;
}

function integer(name, value, low, high) {
    if (typeof value !== 'number') {
        throw new TypeError(`${name} must be a number, not a ${typeof value}`);
    }
    if (!Number.isInteger(value) || value < low || value > high) {
        throw new RangeError(`${name} must be an integer from ${low} to ${high}, not ${value}`);
    }
    return value;
}

function bigintNs(name, value, low, high) {
    if (typeof value !== 'bigint') {
        throw new TypeError(`${name} must be a BigInt of nanoseconds`);
    }
    if (value < low || value > high) {
        throw new RangeError(`${name} must be from ${low} to ${high} ns, not ${value}`);
    }
    return value;
}

// A misspelt option would otherwise be dropped in silence, and its default used.
function known(what, options, names) {
    if (options === null || typeof options !== 'object') {
        const given = options === null ? 'null' : `a ${typeof options}`;
        throw new TypeError(`${what} takes an object of options, not ${given}`);
    }
    for (const key of Object.keys(options)) {
        if (!names.includes(key)) {
            throw new TypeError(`${what} has no option ${key}; it takes ${names.join(', ')}`);
        }
    }
}

// A term out of range reaches the library as 0, which it rejects with its
// own message.
function rateTerm(value) {
    return Number.isInteger(value) && value > 0 && value <= UINT32_MAX ? value : 0;
}

function rateFields(rate) {
    const pair = Array.isArray(rate) && rate.length === 2;
    if (pair && rate.every((term) => typeof term === 'number')) {
        return [rateTerm(rate[0]), rateTerm(rate[1]), 0];
    }
    if (pair || typeof rate !== 'number') {
        throw new TypeError('rate must be a number of ticks per second or a [numerator, denominator] pair');
    }
    return Number.isInteger(rate) && rate > 0 && rate <= UINT32_MAX ? [rate, 1, 0] : [0, 1, rate];
}

function named(table, name) {
    return Object.prototype.hasOwnProperty.call(table, name) ? table[name] : UNKNOWN;
}

function controlNames(bits) {
    return Object.keys(CONTROL_BITS).filter((name) => bits & CONTROL_BITS[name]);
}

function controlFields(controls) {
    if (controls === null || typeof controls !== 'object') {
        throw new TypeError('controls must be an object');
    }
    known('controls', controls, ['boost', 'affinity', 'realtimePriority', 'lockMemory', 'dmaLatencyUs',
                                 'noThrottling', 'mmcss']);
    let flags = 0;
    for (const [option, name] of [['boost', 'boost'], ['lockMemory', 'lock_memory'],
                                  ['noThrottling', 'no_throttling'], ['mmcss', 'mmcss']]) {
        flags |= controls[option] ? CONTROL_BITS[name] : 0;
    }
    let mask = 0n;
    if (controls.affinity !== undefined) {
        for (const cpu of controls.affinity) {
            mask |= 1n << BigInt(integer('affinity CPU', cpu, 0, 63));
        }
        flags |= CONTROL_BITS.affinity;
    }
    let priority = 0;
    if (controls.realtimePriority !== undefined) {
        priority = integer('realtimePriority', controls.realtimePriority, 1, 99);
        flags |= CONTROL_BITS.realtime;
    }
    let latency = 0;
    if (controls.dmaLatencyUs !== undefined) {
        latency = integer('dmaLatencyUs', controls.dmaLatencyUs, 0, 2 ** 31 - 1);
        flags |= CONTROL_BITS.dma_latency;
    }
    return [flags >>> 0, BigInt.asIntN(64, mask), priority, latency];
}

function seconds(ns) {
    return Number(ns) / 1e9;
}

function tickOf(raw) {
    raw.cause = CAUSES[raw.cause] || 'unknown';
    return raw;
}

function statsOf(raw) {
    return {
        ticks: raw.ticks, missed: raw.missed,
        latenessP50: seconds(raw.lateness_p50_ns), latenessP99: seconds(raw.lateness_p99_ns),
        latenessP999: seconds(raw.lateness_p999_ns), latenessMax: seconds(raw.lateness_max_ns),
        drift: seconds(raw.drift_ns), spin: seconds(raw.spin_ns), sleep: seconds(raw.sleep_ns),
        cpu: raw.cpu_ns < 0n ? null : seconds(raw.cpu_ns), margin: seconds(raw.margin_ns),
        controlsActive: controlNames(raw.controls_active), controlsDenied: controlNames(raw.controls_denied),
        controlsUnsupported: controlNames(raw.controls_unsupported),
        clockSteps: raw.clock_steps, clockStep: seconds(raw.clock_step_ns),
        clockSynchronized: raw.clock_synchronized < 0 ? null : raw.clock_synchronized === 1,
        clockError: raw.clock_error_us < 0 ? null : raw.clock_error_us * 1e-6,
        lateTicks: raw.late_ticks, lateOverslept: raw.late_overslept, latePreempted: raw.late_preempted,
        lateHostLate: raw.late_host_late,
        referenceState: REFERENCE_STATES[raw.reference_state] || 'none',
        referencePhaseError: seconds(raw.reference_phase_error_ns),
        referenceRateOffsetPpb: raw.reference_rate_offset_ppb, referenceJitter: seconds(raw.reference_jitter_ns),
        referenceSteps: raw.reference_steps, referenceRebases: raw.reference_rebases,
        referenceObservations: raw.reference_observations, referenceDropped: raw.reference_dropped,
        referenceOutliers: raw.reference_outliers,
    };
}

// A name as the clock's config holds it: one cut short by its 64 bytes, or
// ended early by a NUL, would name another clock. The library checks the
// characters.
function clockName(name) {
    if (typeof name !== 'string') {
        throw new TypeError(`a clock's name must be a string, not a ${typeof name}`);
    }
    const bytes = Buffer.byteLength(name);
    if (bytes === 0 || bytes > 63 || name.includes('\0')) {
        throw new RangeError(`a clock's name must be 1 to 63 characters of A-Z a-z 0-9 . _ -, not ${JSON.stringify(name)}`);
    }
    return name;
}

// The opened clock's handle, in place of options: SimClock.open's.
const OPENED = Symbol('opened');
// The clock's handle, for the Pacer it is given to.
let clockHandle;

class SimClock {
    #handle;

    static {
        clockHandle = (clock) => clock.#open();
    }

    // startNs: the first reading, a BigInt from 0n to 2n ** 62n. autoAdvance:
    // whenever no pacer on the clock is pending, it moves to the earliest
    // deadline they wait for. name: other processes of this user open the
    // clock by it (SimClock.open); without one, the clock is this process's.
    constructor(options = {}) {
        if (options !== null && typeof options === 'object' && Object.prototype.hasOwnProperty.call(options, OPENED)) {
            this.#handle = options[OPENED];
            return;
        }
        known('SimClock', options, ['startNs', 'autoAdvance', 'name']);
        const { startNs = 0n, autoAdvance = false, name } = options;
        const start = bigintNs('startNs', startNs, 0n, MAX_READING_NS);
        this.#handle = checked(addon.clockCreate(start, autoAdvance ? SIM_FLAGS.auto_advance : 0,
                                                 name === undefined ? undefined : clockName(name)));
    }

    // The named clock that another process of this user created.
    static open(name) {
        return new SimClock({ [OPENED]: checked(addon.clockOpen(clockName(name))) });
    }

    #open() {
        if (this.#handle === null) {
            throw new VarnexError('the clock is closed', null, 'CLOSED');
        }
        return this.#handle;
    }

    // The reading, a BigInt of the clock's nanoseconds.
    get nowNs() {
        return checked(addon.clockNow(this.#open()));
    }

    // Moves the clock to toNs (earlier than now is a reset). settle, in
    // seconds: resolves once every pacer the advance made due is back in its
    // wait, or rejects with a TIMEOUT error, the clock at toNs. Without settle,
    // the clock moves before the call returns.
    async advanceNs(toNs, settle) {
        const to = bigintNs('toNs', toNs, 0n, MAX_READING_NS);
        if (settle === undefined) {
            checked(addon.clockAdvanceSync(this.#open(), to, -1n));
            return;
        }
        const settleNs = nanoseconds('settle', settle, 0n, INT64_MAX);
        checked(await addon.clockAdvance(this.#open(), to, settleNs));
    }

    // advanceNs, blocking this thread for the settle: for worker threads (on
    // the main thread, the pacers on its loop cannot come back meanwhile).
    advanceNsSync(toNs, settle) {
        const to = bigintNs('toNs', toNs, 0n, MAX_READING_NS);
        const settleNs = settle === undefined ? -1n : nanoseconds('settle', settle, 0n, INT64_MAX);
        checked(addon.clockAdvanceSync(this.#open(), to, settleNs));
    }

    // Releases this reference to the clock, once an advance in progress has
    // ended; its pacers keep the clock until they are closed. The creator's
    // close frees a named clock's name. A second close does nothing.
    close() {
        if (this.#handle !== null) {
            addon.clockClose(this.#handle);
            this.#handle = null;
        }
    }
}

class Pacer {
    #handle;
    // The pending wait()'s settlers, or null.
    #pending = null;
    // The SimClock the grid runs on: the creator's object, collected, would free a named clock's name.
    #clock;

    constructor(options = {}) {
        known('Pacer', options, ['rate', 'mode', 'missed', 'phase', 'burstCap', 'margin', 'align', 'follow',
                                 'budget', 'controls', 'clock']);
        const { rate, mode = 'hybrid', missed = 'skip', phase, burstCap, margin, align, follow,
                budget, controls, clock } = options;
        if (clock !== undefined && !(clock instanceof SimClock)) {
            throw new TypeError('clock must be a SimClock');
        }
        const [rateNum, rateDen, rateHz] = rateFields(rate);
        let flags = 0;
        if (align !== undefined) {
            if (align !== 'system' && align !== 'tai') {
                throw new RangeError(`align must be 'system' or 'tai', not ${align}`);
            }
            flags |= PACER_FLAGS.align_to_system_clock | (align === 'tai' ? PACER_FLAGS.tai : 0);
        }
        if (follow !== undefined) {
            if (follow !== 'reference') {
                throw new RangeError(`follow must be 'reference', not ${follow}`);
            }
            flags |= PACER_FLAGS.follow_reference;
        }
        const phaseNs = phase === undefined ? -1n : nanoseconds('phase', phase, 0n, 2n ** 62n);
        const cap = burstCap === undefined ? undefined : integer('burstCap', burstCap, 0, UINT32_MAX);
        // 0 would mean "learn it".
        const marginNs = margin === undefined ? 0 : Number(nanoseconds('margin', margin, 1n, BigInt(UINT32_MAX)));
        this.#clock = clock;
        this.#handle = checked(addon.create(named(MODES, mode), named(MISSED, missed), rateNum, rateDen, rateHz,
                                            phaseNs, cap, flags, marginNs,
                                            clock === undefined ? undefined : clockHandle(clock)));
        try {
            if (controls !== undefined) {
                this.setControls(controls);
            }
            if (budget !== undefined) {
                this.setLatenessBudget(budget);
            }
        } catch (error) {
            this.close();
            throw error;
        }
    }

    #open() {
        if (this.#handle === null) {
            throw new VarnexError('the pacer is closed', null, 'CLOSED');
        }
        return this.#handle;
    }

    #idle() {
        const handle = this.#open();
        if (this.#pending !== null) {
            // The library takes one waiter at a time.
            throw new VarnexError('a wait is already pending on this pacer: one waiter at a time', null, 'BUSY');
        }
        return handle;
    }

    // Blocks this thread until the next tick: for worker threads (on the main
    // thread it blocks the loop). A worker's terminate() waits for it: V8's
    // termination cannot reach a thread blocked in native code.
    waitSync() {
        return tickOf(checked(addon.waitSync(this.#idle())));
    }

    // The next tick, without blocking the loop; rejects at once while another
    // wait() is pending.
    wait() {
        return new Promise((resolve, reject) => {
            const handle = this.#idle();
            // result: the wait's status, or libuv's error name, with its text as detail.
            const started = addon.waitStart(handle, (result, detail) => {
                this.#pending = null;
                if (result === Status.OK) {
                    resolve(tickOf(detail));
                } else if (typeof result === 'string') {
                    reject(new VarnexError(`the loop could not watch the pacer's readiness handle: ${detail}`,
                                           null, result));
                } else {
                    reject(failure(result));
                }
            });
            // The tick, when the wait had it at once.
            if (typeof started === 'object') {
                resolve(tickOf(started));
                return;
            }
            checked(started);
            this.#pending = { resolve, reject };
        });
    }

    async *[Symbol.asyncIterator]() {
        for (;;) {
            yield await this.wait();
        }
    }

    // Ends the pending wait, or else the next one, with a CANCELLED error; the
    // tick is not taken.
    cancel() {
        checked(addon.cancel(this.#open()));
    }

    get stats() {
        return statsOf(checked(addon.stats(this.#open())));
    }

    // The exact rate in use: [numerator, denominator] ticks per second.
    get rate() {
        return checked(addon.rate(this.#open()));
    }

    setLatenessBudget(budget) {
        const ns = nanoseconds('budget', budget, 0n, INT64_MAX);
        if (ns === 0n && budget !== 0) {
            throw new RangeError(`budget must be 0 (none) or at least 1 ns, not ${budget}`);
        }
        checked(addon.setLatenessBudget(this.#idle(), ns));
    }

    setControls(controls) {
        checked(addon.setControls(this.#idle(), ...controlFields(controls)));
    }

    // The reference read referenceNs when the library's clock (clockNs()) read
    // localNs (default: now); integer nanoseconds, as BigInt.
    observe(referenceNs, localNs = -1n) {
        const reference = bigintNs('referenceNs', referenceNs, 0n, 2n ** 62n);
        const local = localNs === -1n ? -1n : bigintNs('localNs', localNs, 0n, INT64_MAX);
        checked(addon.observe(this.#open(), reference, local));
    }

    setReferenceOptions(options = {}) {
        known('setReferenceOptions', options, ['slewPpm', 'stepThreshold', 'rebaseThreshold', 'holdover']);
        const { slewPpm, stepThreshold, rebaseThreshold, holdover } = options;
        // 0 takes the library's default.
        const ns = (name, value) => (value === undefined ? 0n : nanoseconds(name, value, 1n, INT64_MAX));
        const slew = slewPpm === undefined ? 0 : integer('slewPpm', slewPpm, 1, 100000);
        checked(addon.setReferenceOptions(this.#idle(), slew, ns('stepThreshold', stepThreshold),
                                          ns('rebaseThreshold', rebaseThreshold), ns('holdover', holdover)));
    }

    // Destroys the pacer; a pending wait() rejects with a CLOSED error. A
    // second close does nothing.
    close() {
        if (this.#handle === null) {
            return;
        }
        const pending = this.#pending;
        addon.close(this.#handle);
        this.#handle = null;
        this.#pending = null;
        if (pending !== null) {
            pending.reject(new VarnexError('the pacer was closed during the wait', null, 'CLOSED'));
        }
    }
}

// The library's version: (major << 16) | (minor << 8) | patch.
function version() {
    return addon.version();
}

// The library's clock, the one every wait runs on, in ns (Linux: CLOCK_MONOTONIC).
function clockNs() {
    return addon.clockNs();
}

module.exports = { Pacer, SimClock, VarnexError, Status, ON_TIME_NS, version, clockNs };
