"""A pacer that follows a reference, through the package: integer nanoseconds
in, the grid on the reference's indices out, and the arguments checked."""
import threading

import pytest

import varnex


def test_clock_ns_is_the_librarys_clock_in_integer_nanoseconds():
    first = varnex.clock_ns()
    second = varnex.clock_ns()
    assert isinstance(first, int) and 0 < first <= second


def test_a_reference_observed_from_another_thread_rebases_the_grid():
    # Read exactly, from a thread of its own beside the waiting one: the observation for each tick
    # is handed over before that tick is waited for.
    origin = varnex.clock_ns()
    start_reading = 10 ** 15 + 400_000
    handed_over = threading.Semaphore(0)
    ticks_waited = threading.Semaphore(0)

    def observer(pacer):
        for _ in range(50):
            now = varnex.clock_ns()
            pacer.observe_ns(start_reading + (now - origin), now)
            handed_over.release()
            ticks_waited.acquire()

    with varnex.Pacer(1000, mode="sleep", follow="reference") as pacer:
        assert pacer.stats.reference_state == varnex.ReferenceState.NONE
        thread = threading.Thread(target=observer, args=(pacer,))
        thread.start()
        ticks = []
        for _ in range(50):
            handed_over.acquire()
            ticks.append(pacer.wait())
            ticks_waited.release()
        thread.join()
        stats = pacer.stats
    assert ticks[0].index > 10 ** 9, "the first tick is already on the reference's indices"
    assert all(after.index == before.index + 1 + after.missed for before, after in zip(ticks, ticks[1:]))
    assert stats.reference_rebases == 1 and stats.reference_observations == 50


def test_observations_and_options_take_only_what_the_library_can():
    with varnex.Pacer(100, mode="sleep") as unfollowing:
        with pytest.raises(ValueError, match="reference call on a pacer that follows none"):
            unfollowing.observe_ns(0)
    with pytest.raises(ValueError, match="follow must be"):
        varnex.Pacer(100, follow="display")
    with varnex.Pacer(100, mode="sleep", follow="reference") as pacer:
        with pytest.raises(TypeError, match="reference_ns must be an int"):
            pacer.observe_ns(1.5e9)
        with pytest.raises(ValueError, match="reference_ns must be"):
            pacer.observe_ns(-1)
        with pytest.raises(ValueError, match="local_ns must be"):
            pacer.observe_ns(0, -1)
        pacer.set_reference_options(slew_ppm=1000, holdover=0.5)
        with pytest.raises(ValueError, match="slew_ppm must be"):
            pacer.set_reference_options(slew_ppm=0)
        with pytest.raises(ValueError, match="invalid argument"):
            pacer.set_reference_options(step_threshold=0.2, rebase_threshold=0.1)
        pacer.observe_ns(2 ** 62)
