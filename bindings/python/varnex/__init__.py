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

    # On a clock the host drives, in integer ns: an hour of a 1 kHz loop in
    # moments, every tick on time, the same every run.
    with varnex.Pacer(1000, clock=varnex.SimClock(auto_advance=True)) as pacer:
        ticks = [pacer.wait() for _ in range(3_600_000)]
    # In lockstep: a simulator's thread steps the clock and waits until every
    # pacer on it has taken its tick and is back in its wait.
    clock.advance_ns(clock.now_ns + 1_000_000, settle=1.0)  # or SettleTimeout

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
from ._constants import Cause, ReferenceState, Status
from ._errors import (AccessDenied, Cancelled, ClockGone, ClockNotFound, Closed, LibraryNotFound, NameInUse,
                      SettleTimeout, VarnexError)
from ._library import clock_ns, library_path, version
from ._pacer import Pacer
from ._records import Controls, Stats, Tick
from ._sim_clock import SimClock

__all__ = ["Pacer", "Tick", "Cause", "Stats", "Controls", "Status", "VarnexError", "Cancelled", "Closed", "LibraryNotFound",
           "version", "library_path", "clock_ns", "ReferenceState", "SimClock", "SettleTimeout", "NameInUse",
           "ClockNotFound", "ClockGone", "AccessDenied"]

# Each public name is varnex's wherever it is written: a traceback still reads
# varnex.LibraryNotFound, and a pickle refers to varnex.Tick.
for _public in __all__:
    globals()[_public].__module__ = __name__
del _public
