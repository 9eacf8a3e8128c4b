"""Pacers on a clock the host drives, through the package: auto-advance, lockstep
with a simulator's thread under asyncio, and times given in seconds."""
import asyncio
import os
import threading
import time

import pytest

import varnex


def test_an_auto_advancing_clock_runs_its_pacer_through_exact_ticks_at_once():
    clock = varnex.SimClock(start_ns=5, auto_advance=True)
    started = time.monotonic()
    with varnex.Pacer((60, 1), clock=clock) as pacer:
        ticks = [pacer.wait() for _ in range(6000)]
        assert pacer.stats.ticks == 6000
    elapsed = time.monotonic() - started
    assert [t.index for t in ticks] == list(range(6000))
    assert {(t.lateness, t.missed) for t in ticks} == {(0.0, 0)}
    # Tick 5999 is due the phase (a period, in whole ns) and 5999 periods after the creation's
    # reading: 100 s of clock time, which the real clock's pace would take.
    assert clock.now_ns == 5 + 10 ** 9 // 60 + 5999 * 10 ** 9 // 60
    assert elapsed < 20, f"{elapsed:.1f} s"


def test_async_for_on_a_clock_that_another_thread_advances_takes_each_tick_as_the_advance_settles():
    period_ns = 10_000_000
    clock = varnex.SimClock()
    taken, taken_at_settle, failures = [], [], []

    def simulator():
        try:
            for step in range(1, 6):
                clock.advance_ns(step * period_ns, settle=30)
                taken_at_settle.append(len(taken))
        except varnex.VarnexError as error:
            failures.append(error)
            # Else the controller would wait for a step that never comes.
            pacer.cancel()

    async def controller(pacer):
        async for tick in pacer:
            taken.append((tick.index, tick.lateness))
            if tick.index == 4:
                # Busy with tick 4 from here: the close lets the last settle end.
                break

    with varnex.Pacer(100, clock=clock) as pacer:
        stepping = threading.Thread(target=simulator)
        stepping.start()
        asyncio.run(controller(pacer))
    stepping.join(60)
    assert failures == []
    # Each settle ends once the controller took the step's tick and waits again.
    assert taken_at_settle == [1, 2, 3, 4, 5]
    assert taken == [(index, 0.0) for index in range(5)]


def test_times_in_seconds_reach_the_nearest_nanosecond():
    with varnex.SimClock() as clock:
        # A float of k / 60 s lies below k / 60 for some k: truncated, it would stop 1 ns short of
        # a 60 Hz pacer's tick, and that step would do nothing.
        short = []
        # Emulated, a million calls would take minutes: the first 10,000 have the short ones' share.
        for k in range(1, (10 ** 4 if os.environ.get("VARNEX_EMULATOR") else 10 ** 6) + 1):
            clock.advance(k / 60)
            if clock.now_ns != round(k * 1e9 / 60):
                short.append(k)
        assert short == []
        with pytest.raises(ValueError, match="to must be"):
            clock.advance(float("nan"))
        with pytest.raises(TypeError, match="int of nanoseconds"):
            clock.advance_ns(1.5)


def test_names_that_the_config_cannot_hold_and_a_missing_clock_raise():
    for name in ("a" * 64, "", "a\0b"):
        with pytest.raises(ValueError, match="name must be"):
            varnex.SimClock(name=name)
    with pytest.raises(varnex.ClockNotFound) as missing:
        varnex.SimClock.open("varnex-test-no-such-clock")
    assert isinstance(missing.value, FileNotFoundError)
    assert missing.value.status == varnex.Status.NOT_FOUND
