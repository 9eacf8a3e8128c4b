"""The records a pacer hands the host (Tick, Stats) and takes from it (Controls),
each turned from or into its C struct here, and the checks of the values a C
field must hold."""
import ctypes
import dataclasses
from typing import NamedTuple

from ._constants import _CONTROL_BITS, Cause, ReferenceState
from ._library import _Controls


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


def _seconds(ns):
    return ns * 1e-9


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


def _stats_from(raw):
    """The Stats of a filled varnex_pacer_stats."""
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
