"""Paces a Python loop on a grid of deadlines that does not drift.

    import varnex

    with varnex.Pacer(500) as pacer:          # 500 ticks per second, hybrid mode
        for tick in pacer:                    # or: tick = pacer.wait()
            ...                               # tick.index, .lateness, .interval, .missed
            if tick.index == 999:
                break
        print(pacer.stats.lateness_p99)

    # Tick k where the system clock reads k periods since 1970: the same
    # instants on every machine that chrony or linuxptp keeps in sync.
    with varnex.Pacer(100, align="system") as pacer:
        tick = pacer.wait()                   # tick.index * 0.01 s after 1970

    # A p99 lateness of 200 us is fine: the hybrid spins only for what its
    # sleeps' p99 oversleep exceeds that by. tick.cause says why a tick was late.
    with varnex.Pacer(1000, budget=200e-6) as pacer:
        tick = pacer.wait()                   # tick.cause: varnex.Cause.ON_TIME, OVERSLEPT, ...

    # Tick k where a reference the host observes reads k periods: an audio
    # device's clock, a display's refresh, a PTP hardware clock. Integer ns.
    with varnex.Pacer(1000, follow="reference") as pacer:
        pacer.observe_ns(reference_ns, varnex.clock_ns())   # from any one thread
        tick = pacer.wait()                   # tick.index: the reference's k

    # Scheduling controls, held only while the pacer needs them and put back:
    pacer = varnex.Pacer(1000, controls=varnex.Controls(boost=True, affinity=[1]))
    print(pacer.stats.controls_active, pacer.stats.controls_denied)

A thin layer over the library's C interface through ctypes: the wait releases
the GIL. Ctrl-C ends a sleeping wait at once with KeyboardInterrupt; a spin
(spin mode, or a hybrid whose margin reaches the time left) is not
interrupted, and ends at its tick: at most a period, or the hybrid's margin.

Event loops: `await pacer.wait_async()` and `async for tick in pacer` wait in
asyncio. On Linux the loop waits on the pacer's readiness handle (a
descriptor, also pacer.fileno() for selectors) and is blocked only for the
final spin; on Windows the blocking wait runs in the loop's default executor,
as precise as the blocking wait plus one thread hop.

Threads: one thread (or one coroutine) waits on a pacer at a time: a second
wait() or wait_async() while one is in progress raises RuntimeError. cancel(),
stats and close() may come from any other thread, also while it waits: close()
(and the end of a with block) cancels the wait in progress, waits until it has
left the library, then destroys the pacer. After a close, wait(), cancel(),
stats, rate and set_controls raise Closed.

fork(): the child may go on with its copy of a pacer. Its first wait gives the
copy a readiness handle of its own, and its locks are new, so that a thread
of the parent that held them at the fork does not block the child.
"""
import ctypes
import ctypes.util
import dataclasses
import enum
import fractions
import os
import select
import sys
import threading
import weakref
from typing import NamedTuple

__all__ = ["Pacer", "Tick", "Cause", "Stats", "Controls", "Status", "VarnexError", "Cancelled", "Closed", "LibraryNotFound",
           "version", "library_path"]

# generated from include/varnex/pacer.h by scripts/generate-constants.py: do not edit
class Status(enum.IntEnum):
    """The library's status codes (varnex_status)."""
    OK = 0
    INVALID_ARGUMENT = -1
    INVALID_RATE = -2
    INVALID_MODE = -3
    INVALID_MISSED = -4
    INVALID_PHASE = -5
    NO_MEMORY = -6
    NO_COUNTER = -7
    CANCELLED = -8
    INTERRUPTED = -9
    INVALID_CONTROL = -10
    NOT_DUE = -11


class Cause(enum.IntEnum):
    """Why a wait returned its tick when it did (varnex_cause)."""
    UNKNOWN = 0
    ON_TIME = 1
    OVERSLEPT = 2
    PREEMPTED = 3
    HOST_LATE = 4


class ReferenceState(enum.IntEnum):
    """A following pacer's reference (varnex_reference_state)."""
    NONE = 0
    ACQUIRING = 1
    LOCKED = 2
    HOLDOVER = 3


_MODES = {"spin": 0,
          "sleep": 1,
          "hybrid": 2}
_POLICIES = {"skip": 0,
             "burst": 1,
             "delay": 2}
_PACER_FLAGS = {"no_stats": 0x1,
                "return_on_signal": 0x2,
                "align_to_system_clock": 0x4,
                "tai": 0x8,
                "follow_reference": 0x10}
_CONTROL_BITS = {"boost": 0x1,
                 "affinity": 0x2,
                 "realtime": 0x4,
                 "lock_memory": 0x8,
                 "dma_latency": 0x10,
                 "no_throttling": 0x20,
                 "mmcss": 0x40}
# end of generated constants


# What the host passed: these raise ValueError.
_INVALID = {Status.INVALID_ARGUMENT, Status.INVALID_RATE, Status.INVALID_MODE, Status.INVALID_MISSED,
            Status.INVALID_PHASE, Status.INVALID_CONTROL}
_RETURN_ON_SIGNAL = _PACER_FLAGS["return_on_signal"]
_ALIGN_FLAGS = {None: 0, "system": _PACER_FLAGS["align_to_system_clock"],
                "tai": _PACER_FLAGS["align_to_system_clock"] | _PACER_FLAGS["tai"]}
# A name the module does not know reaches the library as this value, so that
# the library's own message says what is valid.
_UNKNOWN = 0xFFFFFFFF


class VarnexError(Exception):
    """A failure the library reported, other than an invalid argument."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status


class Cancelled(VarnexError):
    """Pacer.cancel() ended the wait."""


class Closed(VarnexError):
    """The pacer was closed; close() from another thread also ends its wait with this."""


class LibraryNotFound(VarnexError):
    """No Varnex library where the module looked."""


class _Config(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("mode", ctypes.c_uint32), ("rate_num", ctypes.c_uint32),
                ("rate_den", ctypes.c_uint32), ("rate_hz", ctypes.c_double), ("phase_ns", ctypes.c_int64),
                ("missed", ctypes.c_uint32), ("burst_cap", ctypes.c_uint32), ("flags", ctypes.c_uint32),
                ("margin_ns", ctypes.c_uint32)]


class _Tick(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("cause", ctypes.c_uint32), ("index", ctypes.c_uint64),
                ("missed", ctypes.c_uint64), ("lateness_ns", ctypes.c_int64), ("interval_ns", ctypes.c_int64),
                ("lateness_s", ctypes.c_double), ("interval_s", ctypes.c_double)]


class _Stats(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("reserved", ctypes.c_uint32), ("ticks", ctypes.c_uint64),
                ("missed", ctypes.c_uint64)] + [
        (name, ctypes.c_int64) for name in ("lateness_p50_ns", "lateness_p99_ns", "lateness_p999_ns",
                                            "lateness_max_ns", "drift_ns", "spin_ns", "sleep_ns", "cpu_ns",
                                            "margin_ns")] + [
        (name, ctypes.c_uint32) for name in ("controls_active", "controls_denied", "controls_unsupported",
                                             "clock_steps")] + [
        ("clock_step_ns", ctypes.c_int64), ("clock_synchronized", ctypes.c_int32), ("clock_error_us", ctypes.c_int32)] + [
        (name, ctypes.c_uint64) for name in ("late_ticks", "late_overslept", "late_preempted", "late_host_late")] + [
        ("reference_state", ctypes.c_uint32), ("reference_rebases", ctypes.c_uint32)] + [
        (name, ctypes.c_int64) for name in ("reference_phase_error_ns", "reference_rate_offset_ppb",
                                            "reference_jitter_ns")] + [
        (name, ctypes.c_uint64) for name in ("reference_steps", "reference_observations", "reference_dropped",
                                             "reference_outliers")]


class _ReferenceOptions(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("slew_ppm", ctypes.c_uint32), ("step_threshold_ns", ctypes.c_int64),
                ("rebase_threshold_ns", ctypes.c_int64), ("holdover_ns", ctypes.c_int64)]


class _Controls(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("flags", ctypes.c_uint32), ("affinity_mask", ctypes.c_uint64),
                ("realtime_priority", ctypes.c_uint32), ("dma_latency_us", ctypes.c_uint32)]


class _TickFields(NamedTuple):
    index: int
    lateness: float
    interval: float
    missed: int


class Tick(_TickFields):
    """One tick: its index on the grid, how late the wait returned and the time since the previous
    return (seconds), and how many ticks were passed over since then; and, beside the four, its
    cause (a Cause, or the plain int of a cause that a newer library added), so that
    `index, lateness, interval, missed = tick` still unpacks."""

    def __new__(cls, index, lateness, interval, missed, cause=Cause.UNKNOWN):
        tick = super().__new__(cls, index, lateness, interval, missed)
        tick.cause = cause
        return tick


@dataclasses.dataclass(frozen=True)
class Stats:
    """The pacer's statistics; times in seconds. cpu is None where the thread's CPU time is unknown.
    clock_steps and clock_step: the steps of the system clock an aligned pacer saw, and the sum of
    their sizes; clock_synchronized (a bool) and clock_error (the kernel's estimated error): None
    where unknown (everywhere but Linux). late_ticks: the ticks later than the budget (or 10 us
    without one), and late_overslept, late_preempted and late_host_late: those by cause. The
    reference_* fields, for a pacer that follows a reference: its state (a ReferenceState), the
    grid's phase error against it (seconds, above 0 while the grid is late), its rate against the
    counter (parts per billion), the observations' residual jitter (seconds), and the counts of
    steps, re-bases, observations taken, observations dropped by a full queue and outliers."""
    ticks: int
    missed: int
    lateness_p50: float
    lateness_p99: float
    lateness_p999: float
    lateness_max: float
    drift: float
    spin: float
    sleep: float
    cpu: float
    margin: float
    controls_active: frozenset
    controls_denied: frozenset
    controls_unsupported: frozenset
    clock_steps: int = 0
    clock_step: float = 0.0
    clock_synchronized: object = None
    clock_error: object = None
    late_ticks: int = 0
    late_overslept: int = 0
    late_preempted: int = 0
    late_host_late: int = 0
    reference_state: ReferenceState = ReferenceState.NONE
    reference_phase_error: float = 0.0
    reference_rate_offset_ppb: int = 0
    reference_jitter: float = 0.0
    reference_steps: int = 0
    reference_rebases: int = 0
    reference_observations: int = 0
    reference_dropped: int = 0
    reference_outliers: int = 0


@dataclasses.dataclass(frozen=True)
class Controls:
    """Scheduling and power controls for the thread that waits, each off by default and held only
    while the pacer needs it: boost (highest priority while spinning), affinity (an iterable of CPU
    numbers, 0 to 63, to run on while waiting), realtime_priority (1 to 99: SCHED_FIFO while
    sleeping; not for spin mode), lock_memory (the pacer's memory stays in RAM), dma_latency_us
    (holds /dev/cpu_dma_latency at this many microseconds), no_throttling and mmcss (Windows)."""
    boost: bool = False
    affinity: object = None
    realtime_priority: object = None
    lock_memory: bool = False
    dma_latency_us: object = None
    no_throttling: bool = False
    mmcss: bool = False

    def _raw(self):
        raw = _Controls(size=ctypes.sizeof(_Controls))
        flags = 0
        for name in ("boost", "lock_memory", "no_throttling", "mmcss"):
            flags |= _CONTROL_BITS[name] if getattr(self, name) else 0
        if self.affinity is not None:
            cpus = list(self.affinity)
            if not all(isinstance(cpu, int) and 0 <= cpu < 64 for cpu in cpus):
                raise ValueError("affinity must hold CPU numbers from 0 to 63")
            flags |= _CONTROL_BITS["affinity"]
            raw.affinity_mask = sum(1 << cpu for cpu in set(cpus))
        if self.realtime_priority is not None:
            flags |= _CONTROL_BITS["realtime"]
            # Out of range reaches the library as 0, which it rejects.
            raw.realtime_priority = _checked("realtime_priority", self.realtime_priority, 1, 99, "an int from 1 to 99")
        if self.dma_latency_us is not None:
            latency = self.dma_latency_us
            if not (isinstance(latency, int) and 0 <= latency < 2 ** 31):
                raise ValueError("dma_latency_us must be an int from 0 to 2**31 - 1")
            flags |= _CONTROL_BITS["dma_latency"]
            raw.dma_latency_us = latency
        raw.flags = flags
        return raw


def _control_names(bits):
    return frozenset(name for name, bit in _CONTROL_BITS.items() if bits & bit)


def _library_names():
    if sys.platform == "win32":
        return ["Varnex.dll"]
    return ["libvarnex.so", "libvarnex.so.1"]


def _load():
    """Beside this module, then $VARNEX_LIBRARY, then the system's library path."""
    tried = []
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.path.join(here, name) for name in _library_names()]
    if os.environ.get("VARNEX_LIBRARY"):
        candidates.append(os.environ["VARNEX_LIBRARY"])
    candidates += _library_names()
    found = ctypes.util.find_library("varnex")
    if found:
        candidates.append(found)
    loader = ctypes.CDLL
    for candidate in candidates:
        if os.sep in candidate and not os.path.exists(candidate):
            tried.append(f"{candidate} (no such file)")
            continue
        try:
            return loader(candidate), candidate
        except OSError as error:
            tried.append(f"{candidate} ({error})")
    raise LibraryNotFound("the Varnex library was not found; looked beside the module, in $VARNEX_LIBRARY "
                          "and on the system's library path: " + "; ".join(tried))


_library = None
_library_path = None
_load_lock = threading.Lock()


def _lib():
    global _library, _library_path
    with _load_lock:
        if _library is None:
            library, path = _load()
            library.varnex_version.restype = ctypes.c_uint32
            library.varnex_version.argtypes = []
            library.varnex_strerror.restype = ctypes.c_char_p
            library.varnex_strerror.argtypes = [ctypes.c_int]
            library.varnex_pacer_config_init.restype = None
            library.varnex_pacer_config_init.argtypes = [ctypes.POINTER(_Config)]
            library.varnex_pacer_create.argtypes = [ctypes.POINTER(_Config), ctypes.POINTER(ctypes.c_void_p)]
            library.varnex_pacer_destroy.restype = None
            library.varnex_pacer_destroy.argtypes = [ctypes.c_void_p]
            library.varnex_pacer_wait.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Tick)]
            library.varnex_pacer_cancel.argtypes = [ctypes.c_void_p]
            library.varnex_pacer_get_stats.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Stats)]
            library.varnex_pacer_set_controls.argtypes = [ctypes.c_void_p, ctypes.POINTER(_Controls)]
            library.varnex_pacer_wait_handle.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_ssize_t)]
            library.varnex_pacer_set_lateness_budget.argtypes = [ctypes.c_void_p, ctypes.c_int64]
            library.varnex_pacer_rate.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32),
                                                  ctypes.POINTER(ctypes.c_uint32)]
            library.varnex_pacer_observe.argtypes = [ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
            library.varnex_pacer_set_reference_options.argtypes = [ctypes.c_void_p,
                                                                   ctypes.POINTER(_ReferenceOptions)]
            library.varnex_clock_ns.restype = ctypes.c_int64
            library.varnex_clock_ns.argtypes = []
            for function in ("varnex_pacer_create", "varnex_pacer_wait", "varnex_pacer_cancel",
                             "varnex_pacer_get_stats", "varnex_pacer_set_controls", "varnex_pacer_rate",
                             "varnex_pacer_wait_handle", "varnex_pacer_set_lateness_budget",
                             "varnex_pacer_observe", "varnex_pacer_set_reference_options"):
                getattr(library, function).restype = ctypes.c_int
            if library.varnex_version() < 0x010700:
                raise VarnexError(f"{path} is version {library.varnex_version():06x}; this module needs 1.7 or later")
            _library, _library_path = library, path
    return _library


def _message(status):
    return _lib().varnex_strerror(status).decode()


def _fail(status):
    if status in _INVALID:
        raise ValueError(_message(status))
    if status == Status.CANCELLED:
        raise Cancelled(_message(status), status)
    raise VarnexError(_message(status), status)


def version():
    """The loaded library's version as "major.minor.patch"."""
    value = _lib().varnex_version()
    return f"{value >> 16}.{(value >> 8) & 0xFF}.{value & 0xFF}"


def clock_ns():
    """The library's clock in integer nanoseconds (Linux: CLOCK_MONOTONIC, as time.monotonic_ns();
    Windows: the performance counter), to timestamp observations of a reference with."""
    return _lib().varnex_clock_ns()


def library_path():
    """Where the library was loaded from."""
    _lib()
    return _library_path


def _seconds(ns):
    return ns * 1e-9


_UINT32_MAX = 2 ** 32 - 1
_INT64_MAX = 2 ** 63 - 1


def _checked(name, value, low, high, what):
    """value, if it is an int from low to high; else ValueError naming the parameter."""
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{name} must be {what}, not {value!r}")
    return value


def _nanoseconds(name, seconds, low, high, what):
    """seconds as whole nanoseconds from low to high; else ValueError naming the parameter."""
    try:
        ns = round(seconds * 1e9)
    except (TypeError, ValueError, OverflowError):
        ns = None
    if ns is None or not low <= ns <= high:
        raise ValueError(f"{name} must be {what}, not {seconds!r}")
    return ns


def _block_on(ready_handle):
    """Until the readiness handle is ready, or a second has passed."""
    if sys.platform == "win32":
        ctypes.windll.kernel32.WaitForSingleObject(ctypes.c_void_p(ready_handle), 1000)
    else:
        # poll, not select: select takes no descriptor from 1024 on, and a host
        # that holds many files gets such a one.
        poller = select.poll()
        poller.register(ready_handle, select.POLLIN)
        poller.poll(1000)


def _cause(value):
    """value as a Cause; a cause that a newer library added stays its int."""
    try:
        return Cause(value)
    except ValueError:
        return value


def _reference_state(value):
    try:
        return ReferenceState(value)
    except ValueError:
        return value


def _returned_tick(raw):
    return Tick(raw.index, raw.lateness_s, raw.interval_s, raw.missed, _cause(raw.cause))


# A forked child's copy of a pacer gets a readiness handle of its own at its
# first wait or wait_handle call there: a handle taken before the fork is asked
# for again. The pacers' locks may have been held by a thread that the child
# does not have.
_fork_generation = 0
_live_pacers = weakref.WeakSet()


def _after_fork_in_child():
    global _fork_generation, _load_lock
    _fork_generation += 1
    _load_lock = threading.Lock()
    for pacer in list(_live_pacers):
        pacer._forget_parent_threads()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


class Pacer:
    """A pacer at `rate` ticks per second: an int, a float (29.97), a fractions.Fraction or a
    (numerator, denominator) pair. mode: "spin", "sleep" or "hybrid"; missed: "skip", "burst" or
    "delay". phase: seconds to the first deadline (default one period). margin: a fixed hybrid
    margin in seconds (default: learned). controls: a Controls, as set_controls takes. align:
    "system" puts the grid on the system clock, tick k due where it reads phase + k periods since
    1970 (phase then under one period, default 0), the same instants on every machine whose
    clock is synchronized; "tai" (Linux) on CLOCK_TAI, once the kernel knows the TAI offset.
    follow: "reference" puts the grid on a reference that the host observes (observe_ns), tick k
    due where it reads phase + k periods (phase under one period, default 0); before the first
    observation the grid runs on the counter from the creation.
    budget: the p99 lateness in seconds the host accepts (set_lateness_budget). A value
    that its C field cannot hold raises ValueError naming the parameter. One thread waits on a
    pacer at a time (a second wait raises RuntimeError); stats, cancel() and close() may come
    from any thread (see the module's docs)."""

    def __init__(self, rate, mode="hybrid", missed="skip", *, phase=None, burst_cap=None, margin=None,
                 controls=None, align=None, budget=None, follow=None):
        library = _lib()
        config = _Config()
        library.varnex_pacer_config_init(ctypes.byref(config))
        if isinstance(rate, tuple):
            config.rate_num, config.rate_den = self._fraction_terms(*rate)
        elif isinstance(rate, (int, fractions.Fraction)) and not isinstance(rate, bool):
            exact = fractions.Fraction(rate)
            config.rate_num, config.rate_den = self._fraction_terms(exact.numerator, exact.denominator)
        elif isinstance(rate, float):
            config.rate_hz = rate
        else:
            raise TypeError(f"rate must be a number or a (numerator, denominator) pair, not {type(rate).__name__}")
        config.mode = _MODES.get(mode, _UNKNOWN)
        config.missed = _POLICIES.get(missed, _UNKNOWN)
        if phase is not None:
            config.phase_ns = _nanoseconds("phase", phase, 0, _INT64_MAX, "seconds from 0 to 2**62 ns (146 years)")
        if burst_cap is not None:
            config.burst_cap = _checked("burst_cap", burst_cap, 0, _UINT32_MAX, "an int from 0 to 2**32 - 1")
        if margin is not None:
            # 0 would mean "learn it".
            config.margin_ns = _nanoseconds("margin", margin, 1, _UINT32_MAX, "seconds from 1 ns to 4.294967295 s")
        if align not in _ALIGN_FLAGS:
            raise ValueError(f'align must be None, "system" or "tai", not {align!r}')
        if follow not in (None, "reference"):
            raise ValueError(f'follow must be None or "reference", not {follow!r}')
        config.flags |= _RETURN_ON_SIGNAL | _ALIGN_FLAGS[align]
        if follow is not None:
            config.flags |= _PACER_FLAGS["follow_reference"]
        # Guards the handle: the wait in progress holds it, and the pacer is
        # destroyed only once that wait has left the library.
        # Reentrant: a signal handler may close the pacer while its thread holds the lock.
        self._lock = threading.RLock()
        self._left = threading.Condition(self._lock)
        # The thread of the one wait in progress (for wait_async, the loop's), or None.
        self._waiter = None
        self._destroy_pending = None
        self._ready_handle = None
        self._ready_generation = _fork_generation
        self._executor_waiting = False
        self._cancelled_by_task = False
        self._handle = None
        handle = ctypes.c_void_p()
        status = library.varnex_pacer_create(ctypes.byref(config), ctypes.byref(handle))
        if status != Status.OK:
            _fail(status)
        self._handle = handle
        _live_pacers.add(self)
        self._tick = _Tick(size=ctypes.sizeof(_Tick))
        self._tick_pointer = ctypes.byref(self._tick)
        self._wait = library.varnex_pacer_wait
        try:
            if controls is not None:
                self.set_controls(controls)
            if budget is not None:
                self.set_lateness_budget(budget)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _fraction_terms(numerator, denominator):
        # A term out of range reaches the library as 0, which it rejects.
        def term(value):
            return value if isinstance(value, int) and 0 < value < 2 ** 32 else 0
        return term(numerator), term(denominator)

    def _open_handle(self):
        """The handle, while the pacer is open; called with self._lock held."""
        if self._handle is None:
            raise Closed("the pacer is closed")
        return self._handle

    def _begin_wait(self):
        """Makes this thread the pacer's one waiter, and returns the library's handle."""
        with self._lock:
            handle = self._open_handle()
            if self._waiter is not None:
                # The library takes one waiter at a time; a second reader on the
                # descriptor would take the first one's place in the loop.
                raise RuntimeError("another wait is in progress on this pacer: one waiter at a time")
            self._waiter = threading.get_ident()
            return handle

    def _leave_wait(self):
        with self._lock:
            self._waiter = None
            if self._destroy_pending is not None:
                _lib().varnex_pacer_destroy(self._destroy_pending)
                self._destroy_pending = None
                self._left.notify_all()

    def _returned(self, status):
        """The tick the wait wrote, or the exception for its status."""
        if status:
            if status == Status.CANCELLED and self._handle is None:
                raise Closed("the pacer was closed during the wait", status)
            _fail(status)
        return _returned_tick(self._tick)

    def wait(self):
        """Returns the next tick when it is due. RuntimeError while another wait (or wait_async)
        is in progress."""
        handle = self._begin_wait()
        try:
            status = self._wait(handle, self._tick_pointer)
            if status:
                status = self._wait_blocking(handle, status)
        finally:
            self._leave_wait()
        return self._returned(status)

    def _wait_blocking(self, handle, status):
        # A signal ended the sleep: back in Python, its handler runs (Ctrl-C raises
        # KeyboardInterrupt here); the tick was not taken, so the wait goes on. With the
        # readiness handle out the wait never sleeps: the sleep is on the handle.
        while status in (Status.INTERRUPTED, Status.NOT_DUE):
            if status == Status.NOT_DUE:
                _block_on(self.wait_handle())
            status = self._wait(handle, self._tick_pointer)
        return status

    def wait_handle(self):
        """The readiness handle: a descriptor on Linux, a HANDLE's value on Windows. It becomes
        ready at the wake-up of the next tick; then wait() spins the rest. The pacer owns it: never
        read, reset or close it. Not in spin mode (ValueError). In a forked child it is asked for
        again: there the pacer's copy gets a handle of its own."""
        with self._lock:
            if self._ready_handle is None or self._ready_generation != _fork_generation:
                value = ctypes.c_ssize_t()
                status = _lib().varnex_pacer_wait_handle(self._open_handle(), ctypes.byref(value))
                if status != Status.OK:
                    _fail(status)
                self._ready_handle = value.value
                self._ready_generation = _fork_generation
            return self._ready_handle

    def fileno(self):
        """The readiness handle's descriptor, for selectors (Linux)."""
        if sys.platform == "win32":
            raise VarnexError("the readiness handle is a HANDLE on Windows, not a descriptor: use wait_handle()")
        return self.wait_handle()

    async def wait_async(self):
        """Returns the next tick when it is due, without blocking the event loop (see the module's
        docs). Cancelling the task leaves the tick for the next wait. RuntimeError while another
        coroutine or thread waits on the pacer."""
        if sys.platform == "win32":
            return await self._wait_in_executor()
        import asyncio
        loop = asyncio.get_running_loop()
        handle = self._begin_wait()
        try:
            descriptor = self.fileno()
            while True:
                ready = loop.create_future()
                loop.add_reader(descriptor, lambda: ready.done() or ready.set_result(None))
                try:
                    await ready
                finally:
                    loop.remove_reader(descriptor)
                if self._handle is None:
                    raise Closed("the pacer was closed during the wait")
                status = self._wait(handle, self._tick_pointer)
                if status not in (Status.NOT_DUE, Status.INTERRUPTED):
                    break
        finally:
            self._leave_wait()
        return self._returned(status)

    async def _wait_in_executor(self):
        # Windows: the proactor loop cannot wait on the handle. A cancelled task cancels the
        # wait only while it runs; a tick that the wait returned all the same leaves the cancel
        # pending in the library, and one more wait, which returns at once, takes it.
        import asyncio
        future = asyncio.get_running_loop().run_in_executor(None, self._executor_wait)
        try:
            return await asyncio.shield(future)
        except asyncio.CancelledError:
            with self._lock:
                if self._executor_waiting and self._handle is not None:
                    self._cancelled_by_task = True
                    _lib().varnex_pacer_cancel(self._handle)
            try:
                await future
            except VarnexError:
                pass
            raise

    def _executor_wait(self):
        handle = self._begin_wait()
        status = None
        try:
            with self._lock:
                self._executor_waiting = True
            status = self._wait(handle, self._tick_pointer)
            if status:
                status = self._wait_blocking(handle, status)
        finally:
            with self._lock:
                self._executor_waiting = False
                if self._cancelled_by_task and status == Status.OK and self._handle is not None:
                    self._wait(self._handle, None)
                self._cancelled_by_task = False
            self._leave_wait()
        return self._returned(status)

    def __aiter__(self):
        return self._ticks_async()

    async def _ticks_async(self):
        while True:
            yield await self.wait_async()

    def _forget_parent_threads(self):
        """In a forked child, where only the thread that forked runs: the parent's other threads
        may have held the locks, or been in a wait, and are not there to release them."""
        self._lock = threading.RLock()
        self._left = threading.Condition(self._lock)
        if self._waiter != threading.get_ident():
            self._waiter = None
            # A close() that waited for that wait: the child's copy stays undestroyed, as the
            # wait may have been midway through the library.
            self._destroy_pending = None
        self._executor_waiting = False
        self._cancelled_by_task = False

    def __iter__(self):
        while True:
            yield self.wait()

    def cancel(self):
        """Makes the wait in progress, or the next one, raise Cancelled."""
        with self._lock:
            _lib().varnex_pacer_cancel(self._open_handle())

    @property
    def stats(self):
        raw = _Stats(size=ctypes.sizeof(_Stats))
        with self._lock:
            status = _lib().varnex_pacer_get_stats(self._open_handle(), ctypes.byref(raw))
        if status != Status.OK:
            _fail(status)
        return Stats(raw.ticks, raw.missed, _seconds(raw.lateness_p50_ns), _seconds(raw.lateness_p99_ns),
                     _seconds(raw.lateness_p999_ns), _seconds(raw.lateness_max_ns), _seconds(raw.drift_ns),
                     _seconds(raw.spin_ns), _seconds(raw.sleep_ns), None if raw.cpu_ns < 0 else _seconds(raw.cpu_ns),
                     _seconds(raw.margin_ns), _control_names(raw.controls_active),
                     _control_names(raw.controls_denied), _control_names(raw.controls_unsupported),
                     raw.clock_steps, _seconds(raw.clock_step_ns),
                     None if raw.clock_synchronized < 0 else bool(raw.clock_synchronized),
                     None if raw.clock_error_us < 0 else raw.clock_error_us * 1e-6,
                     raw.late_ticks, raw.late_overslept, raw.late_preempted, raw.late_host_late,
                     _reference_state(raw.reference_state), _seconds(raw.reference_phase_error_ns),
                     raw.reference_rate_offset_ppb, _seconds(raw.reference_jitter_ns), raw.reference_steps,
                     raw.reference_rebases, raw.reference_observations, raw.reference_dropped,
                     raw.reference_outliers)

    def observe_ns(self, reference_ns, local_ns=None):
        """For a pacer with follow="reference": the reference read `reference_ns` (an int, from 0
        to 2**62) when the library's clock (clock_ns()) read `local_ns` (an int; None: now). In
        integer nanoseconds, since a float holds a PTP-scale time only to about 0.24 us. A stamp
        later than the clock as the next wait takes it (another clock's, another unit's) is
        counted in stats.reference_outliers and not followed. It never blocks; one thread at a
        time observes, beside the one that waits."""
        for name, value in (("reference_ns", reference_ns), ("local_ns", local_ns)):
            if value is not None and (not isinstance(value, int) or isinstance(value, bool)):
                raise TypeError(f"{name} must be an int of nanoseconds, not {type(value).__name__}")
        reference = _checked("reference_ns", reference_ns, 0, 2 ** 62, "an int of ns from 0 to 2**62")
        local = -1 if local_ns is None else _checked("local_ns", local_ns, 0, _INT64_MAX, "an int of ns from 0 on")
        with self._lock:
            status = _lib().varnex_pacer_observe(self._open_handle(), reference, local)
        if status != Status.OK:
            _fail(status)

    def set_reference_options(self, *, slew_ppm=None, step_threshold=None, rebase_threshold=None, holdover=None):
        """How a following pacer steers its grid, durations in seconds; None takes the default
        (500 ppm, 2 ms, 100 ms, 1 s), whatever an earlier call set. Call it between waits."""
        raw = _ReferenceOptions(size=ctypes.sizeof(_ReferenceOptions))
        if slew_ppm is not None:
            raw.slew_ppm = _checked("slew_ppm", slew_ppm, 1, 100000, "an int from 1 to 100000")
        for name, seconds in (("step_threshold", step_threshold), ("rebase_threshold", rebase_threshold),
                              ("holdover", holdover)):
            if seconds is not None:
                ns = _nanoseconds(name, seconds, 1, _INT64_MAX, "seconds from 1 ns on")
                setattr(raw, name + "_ns", ns)
        with self._lock:
            status = _lib().varnex_pacer_set_reference_options(self._open_handle(), ctypes.byref(raw))
        if status != Status.OK:
            _fail(status)

    def set_lateness_budget(self, seconds):
        """The p99 lateness the host accepts, in seconds, for a hybrid that learns its margin: the
        margin becomes the sleeps' p99 oversleep less the budget, and may reach 0 (sleep mode's
        CPU). 0 is no budget; a budget under half a nanosecond, which would reach the library as
        0, raises ValueError. Call it between waits; stats.late_ticks says whether it holds."""
        ns = _nanoseconds("budget", seconds, 0, _INT64_MAX, "seconds from 0 on")
        if ns == 0 and seconds != 0:
            raise ValueError(f"budget must be 0 (none) or at least 1 ns, not {seconds!r}")
        with self._lock:
            status = _lib().varnex_pacer_set_lateness_budget(self._open_handle(), ns)
        if status != Status.OK:
            _fail(status)

    def set_controls(self, controls):
        """Replaces the pacer's controls with a Controls; call it between waits. Whether each took
        effect shows in stats.controls_active, controls_denied and controls_unsupported."""
        if not isinstance(controls, Controls):
            raise TypeError(f"controls must be a varnex.Controls, not {type(controls).__name__}")
        raw = controls._raw()
        with self._lock:
            status = _lib().varnex_pacer_set_controls(self._open_handle(), ctypes.byref(raw))
        if status != Status.OK:
            _fail(status)

    @property
    def rate(self):
        """The rate in use, as the exact fraction of ticks per second."""
        num, den = ctypes.c_uint32(), ctypes.c_uint32()
        with self._lock:
            status = _lib().varnex_pacer_rate(self._open_handle(), ctypes.byref(num), ctypes.byref(den))
        if status != Status.OK:
            _fail(status)
        return fractions.Fraction(num.value, den.value)

    def close(self):
        """Destroys the pacer, once a wait in progress in another thread has been cancelled and
        has left the library (it raises Closed); a second close does nothing. Called from inside
        a wait (a signal handler), or from the loop of a pending wait_async, it leaves the destroy
        to that wait's end. Either way the order is the library's: cancel, which makes the
        readiness handle ready; the wait sees it and stops polling it (wait_async removes its
        reader); then destroy."""
        lock = getattr(self, "_lock", None)
        if lock is None:
            return
        with lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            if self._waiter is None:
                _lib().varnex_pacer_destroy(handle)
                return
            _lib().varnex_pacer_cancel(handle)
            self._destroy_pending = handle
            if threading.get_ident() == self._waiter:
                return
            while self._destroy_pending is not None:
                self._left.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __del__(self):
        self.close()
