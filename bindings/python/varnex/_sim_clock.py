"""A clock the host drives: readings in integer nanoseconds that only its advances move."""
import ctypes
import fractions
import os
import threading
import weakref

from ._constants import _SIM_FLAGS, Status
from ._errors import Closed
from ._library import _SimClockConfig, _fail, _lib
from ._records import _checked

_MAX_NS = 2 ** 62
_NS_PER_S = 10 ** 9


def _name_bytes(name):
    """name as the zero-terminated field holds it. A name cut to fit, or ended early by a NUL,
    would be another clock's: ValueError. The library checks the characters."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    encoded = name.encode()
    if not 0 < len(encoded) < 64 or b"\0" in encoded:
        raise ValueError(f"name must be 1 to 63 characters of A-Z a-z 0-9 . _ -, not {name!r}")
    return encoded


def _nearest_ns(name, seconds, low):
    """seconds (an int, float or Fraction) as the nearest whole nanosecond, halves up, from the
    exact value: k / 60 s gives round(k * 10**9 / 60) ns, never 1 ns short of it."""
    if isinstance(seconds, bool) or not isinstance(seconds, (int, float, fractions.Fraction)):
        raise TypeError(f"{name} must be a number of seconds, not {type(seconds).__name__}")
    try:
        numerator, denominator = seconds.as_integer_ratio()
    except (ValueError, OverflowError):
        raise ValueError(f"{name} must be a finite number of seconds, not {seconds!r}") from None
    ns = (2 * numerator * _NS_PER_S + denominator) // (2 * denominator)
    if not low <= ns <= _MAX_NS:
        raise ValueError(f"{name} must be from {low} ns to 2**62 ns, not {seconds!r}")
    return ns


def _settle_timeout_ns(settle):
    return -1 if settle is None else _nearest_ns("settle", settle, 0)


# After fork() only the forking thread runs in the child: a thread of the parent
# that was in a call on a clock is not there to leave it.
_live_clocks = weakref.WeakSet()


def _after_fork_in_child():
    for clock in list(_live_clocks):
        clock._forget_parent_threads()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork_in_child)


class SimClock:
    """A clock whose reading, in nanoseconds, only the host moves: a Pacer made with clock=clock
    ticks on it, tick k due at the reading at the pacer's creation plus its phase plus k periods.
    start_ns: the first reading, an int from 0 to 2**62. auto_advance: whenever no pacer on the
    clock is pending, the clock moves to the earliest deadline they wait for, so that a test runs
    through its ticks at once. name: None for a clock of this process only; else 1 to 63
    characters of A-Z a-z 0-9 . _ -, by which other processes of this user open it
    (SimClock.open). Times cross the library as integer nanoseconds; advance and now are their
    forms in seconds. Any thread may read and advance the clock, and close it (or end its with
    block) at any time: the calls in progress finish first. A pacer on the clock keeps it: its
    reference to this object, and the library's to the clock, last as long as the pacer."""

    def __init__(self, start_ns=0, auto_advance=False, name=None):
        config = _SimClockConfig(size=ctypes.sizeof(_SimClockConfig))
        config.start_ns = self._ns_argument("start_ns", start_ns)
        config.flags = _SIM_FLAGS["auto_advance"] if auto_advance else 0
        if name is not None:
            config.name = _name_bytes(name)
        handle = ctypes.c_void_p()
        self._start(_lib().varnex_sim_clock_create(ctypes.byref(config), ctypes.byref(handle)), handle)

    @classmethod
    def open(cls, name):
        """The named clock that another process of this user created: ClockNotFound when there is
        none, ClockGone when its creator has ended."""
        clock = cls.__new__(cls)
        handle = ctypes.c_void_p()
        clock._start(_lib().varnex_sim_clock_open(_name_bytes(name), ctypes.byref(handle)), handle)
        return clock

    def _start(self, status, handle):
        library = _lib()
        self._now = library.varnex_sim_clock_now
        self._advance = library.varnex_sim_clock_advance
        # Reentrant: a signal handler may close the clock while its thread holds the lock.
        self._lock = threading.RLock()
        self._handle = None
        # The calls in progress on the clock, and the clock that close() left to the last of them.
        self._calls = 0
        self._destroy_pending = None
        if status != Status.OK:
            _fail(status)
        self._handle = handle
        _live_clocks.add(self)

    @staticmethod
    def _ns_argument(name, value):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int of nanoseconds, not {type(value).__name__}")
        return _checked(name, value, 0, _MAX_NS, "an int of ns from 0 to 2**62")

    def _enter(self):
        """The library's clock, held until _leave()."""
        with self._lock:
            if self._handle is None:
                raise Closed("the clock is closed")
            self._calls += 1
            return self._handle

    def _leave(self):
        with self._lock:
            self._calls -= 1
            if self._calls == 0 and self._destroy_pending is not None:
                _lib().varnex_sim_clock_destroy(self._destroy_pending)
                self._destroy_pending = None

    def _forget_parent_threads(self):
        self._lock = threading.RLock()
        self._calls = 0

    @property
    def now_ns(self):
        """The reading, in integer nanoseconds. An opened clock whose creator ended: ClockGone."""
        reading = ctypes.c_int64()
        handle = self._enter()
        try:
            status = self._now(handle, ctypes.byref(reading))
        finally:
            self._leave()
        if status != Status.OK:
            _fail(status)
        return reading.value

    @property
    def now(self):
        """The reading in seconds, a float."""
        return self.now_ns / _NS_PER_S

    def advance_ns(self, to_ns, settle=None):
        """Moves the clock to to_ns (an int from 0 to 2**62; earlier than now is a reset, each
        pacer's next tick then due at to_ns plus its phase). settle None runs free; a number of
        seconds waits, up to that long, until every pacer that the advance made due is back in its
        wait, or raises SettleTimeout, the clock reading to_ns. The pacers this thread waits on are
        not waited for: they take their ticks at its next wait."""
        to = self._ns_argument("to_ns", to_ns)
        timeout_ns = _settle_timeout_ns(settle)
        handle = self._enter()
        try:
            status = self._advance(handle, to, timeout_ns)
        finally:
            self._leave()
        if status != Status.OK:
            _fail(status)

    def advance(self, to, settle=None):
        """advance_ns in seconds: to (an int, float or Fraction) is taken to the nearest
        nanosecond of its exact value, so that k / 60 s reaches tick k's deadline of a 60 Hz
        pacer."""
        self.advance_ns(_nearest_ns("to", to, 0), settle)

    def close(self):
        """Releases the host's reference to the clock, at once or, while calls on it are in
        progress in other threads, as the last of them returns; its pacers keep the clock until
        they are closed. Closing the creator of a named clock frees its name. A second close does
        nothing."""
        lock = getattr(self, "_lock", None)
        if lock is None:
            return
        with lock:
            handle, self._handle = self._handle, None
            if handle is None:
                return
            if self._calls == 0:
                _lib().varnex_sim_clock_destroy(handle)
            else:
                self._destroy_pending = handle

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __del__(self):
        self.close()
