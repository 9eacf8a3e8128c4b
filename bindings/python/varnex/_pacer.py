"""The pacer: a grid of deadlines that a host's loop waits on, one thread at a time."""
import ctypes
import fractions
import os
import select
import sys
import threading
import weakref

from ._asyncio_waits import _AsyncioWaits
from ._constants import _MODES, _PACER_FLAGS, _POLICIES, Status
from ._errors import Closed, VarnexError
from ._library import _Config, _lib, _fail, _ReferenceOptions, _Stats, _Tick
from ._records import Controls, _checked, _nanoseconds, _returned_tick, _stats_from
from ._sim_clock import SimClock

_RETURN_ON_SIGNAL = _PACER_FLAGS["return_on_signal"]
_ALIGN_FLAGS = {None: 0, "system": _PACER_FLAGS["align_to_system_clock"],
                "tai": _PACER_FLAGS["align_to_system_clock"] | _PACER_FLAGS["tai"]}
# A name the module does not know reaches the library as this value, so that
# the library's own message says what is valid.
_UNKNOWN = 0xFFFFFFFF
_UINT32_MAX = 2 ** 32 - 1
_INT64_MAX = 2 ** 63 - 1


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


# A forked child's copy of a pacer gets a readiness handle of its own at its
# first wait or wait_handle call there: a handle taken before the fork is asked
# for again. The pacers' locks may have been held by a thread that the child
# does not have.
_fork_generation = 0
_live_pacers = weakref.WeakSet()


def _after_fork_in_child():
    global _fork_generation
    _fork_generation += 1
    for pacer in list(_live_pacers):
        pacer._forget_parent_threads()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


class Pacer(_AsyncioWaits):
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
    budget: the p99 lateness in seconds the host accepts (set_lateness_budget). clock: a
    SimClock, whose readings the grid then runs on (tick k due at its reading now plus the phase
    plus k periods), held by the pacer; the mode does not apply there, and align, follow and
    budget are refused (ValueError). A value
    that its C field cannot hold raises ValueError naming the parameter. One thread waits on a
    pacer at a time (a second wait raises RuntimeError); stats, cancel() and close() may come
    from any thread (see the module's docs)."""

    def __init__(self, rate, mode="hybrid", missed="skip", *, phase=None, burst_cap=None, margin=None,
                 controls=None, align=None, budget=None, follow=None, clock=None):
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
        if clock is not None and not isinstance(clock, SimClock):
            raise TypeError(f"clock must be a varnex.SimClock, not {type(clock).__name__}")
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
        # The clock's object lives as long as the pacer: closing a named clock's creator frees
        # its name, and the collector would do that while the pacer ticks on it.
        self._clock = clock
        handle = ctypes.c_void_p()
        if clock is None:
            status = library.varnex_pacer_create(ctypes.byref(config), ctypes.byref(handle))
        else:
            clock_handle = clock._enter()
            try:
                status = library.varnex_pacer_create_on(ctypes.byref(config), clock_handle, ctypes.byref(handle))
            finally:
                clock._leave()
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
        return _stats_from(raw)

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
