"""The varnex package against the library it finds through VARNEX_LIBRARY."""
import ctypes
import fractions
import math
import os
import platform
import selectors
import shutil
import signal
import subprocess
import sys
import threading
import time

import pytest

import varnex
from varnex import _library

PACKAGE_DIR = os.path.dirname(os.path.abspath(varnex.__file__))
# Under user-mode emulation (an arm64 Python on an x86 machine), a child
# program starts under the emulator: the emulated process cannot exec it.
EMULATOR = os.environ.get("VARNEX_EMULATOR", "").split()


def test_ticks_at_100_per_second_account_for_the_time_that_passed():
    with varnex.Pacer(100) as pacer:
        start = time.monotonic()
        ticks = [pacer.wait() for _ in range(50)]
        elapsed = time.monotonic() - start
        assert [t.index for t in ticks] == sorted({t.index for t in ticks})
        assert ticks[-1].index + 1 == len(ticks) + sum(t.missed for t in ticks)
        assert elapsed >= (ticks[-1].index + 1) / 100 - 0.011
        assert pacer.stats.ticks == 50
        assert all(t.lateness >= 0 and t.interval > 0 for t in ticks)


@pytest.mark.parametrize("rate, text", [(0, "invalid rate"), (-5, "invalid rate"), (math.nan, "invalid rate"),
                                        (math.inf, "invalid rate"), ((1, 0), "invalid rate")])
def test_a_bad_rate_raises_value_error_with_the_librarys_message(rate, text):
    with pytest.raises(ValueError, match=text):
        varnex.Pacer(rate)


def test_bad_names_raise_value_error_with_the_librarys_message():
    with pytest.raises(ValueError, match="invalid mode: not spin, sleep or hybrid"):
        varnex.Pacer(100, mode="turbo")
    with pytest.raises(ValueError, match="invalid missed-tick policy"):
        varnex.Pacer(100, missed="later")
    with pytest.raises(TypeError):
        varnex.Pacer("fast")


def test_the_context_manager_releases_the_pacer_when_the_body_raises():
    with pytest.raises(RuntimeError):
        with varnex.Pacer(100) as pacer:
            raise RuntimeError("the body failed")
    with pytest.raises(varnex.VarnexError, match="closed"):
        pacer.wait()


def test_iteration_reports_the_ticks_a_stall_passed_over():
    with varnex.Pacer(100, mode="spin") as pacer:
        ticks = iter(pacer)
        first = next(ticks)
        time.sleep(0.055)
        after = next(ticks)
        assert after.missed >= 4
        assert after.index == first.index + 1 + after.missed


def test_another_thread_runs_while_a_pacer_waits():
    counted = [0]
    started = threading.Event()
    stop = threading.Event()

    def count():
        started.set()
        while not stop.is_set():
            counted[0] += 1

    with varnex.Pacer(2, mode="sleep") as pacer:
        worker = threading.Thread(target=count)
        worker.start()
        started.wait()
        before = counted[0]
        pacer.wait()
        during = counted[0] - before
        stop.set()
        worker.join()
    assert during > 1000, "the wait held the GIL"


def test_cancel_from_another_thread_raises_cancelled():
    with varnex.Pacer(1, mode="sleep") as pacer:
        timer = threading.Timer(0.1, pacer.cancel)
        timer.start()
        with pytest.raises(varnex.Cancelled):
            pacer.wait()
        timer.join()


@pytest.mark.parametrize("mode", ["sleep", "hybrid"])
def test_ctrl_c_ends_a_wait_for_a_distant_tick_at_once(mode):
    child = subprocess.Popen(
        [*EMULATOR, sys.executable, "-c", f"""
import time, varnex
pacer = varnex.Pacer(1, mode="{mode}")
print("ready", flush=True)
began = time.monotonic()
try:
    pacer.wait()
    print("no interrupt", flush=True)
except KeyboardInterrupt:
    print(f"interrupted after {{time.monotonic() - began:.3f}}", flush=True)
"""], stdout=subprocess.PIPE, text=True, env=dict(os.environ, PYTHONPATH=os.path.dirname(PACKAGE_DIR)))
    try:
        assert child.stdout.readline().strip() == "ready"
        # The wait is well begun; its tick is most of a second away.
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        line = child.stdout.readline().split()
        answered = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    assert line[0] == "interrupted"
    assert float(line[2]) >= 0.2, "the signal came before the wait"
    # Under qemu's user-mode emulation the signal has reached the sleep only
    # when its tick came (0.7 s after, in one run of three): there the wait is
    # seen to end in KeyboardInterrupt, not at once.
    if not EMULATOR:
        assert answered < 0.2


def test_a_missing_library_fails_saying_where_it_looked(tmp_path):
    shutil.copytree(PACKAGE_DIR, tmp_path / "varnex", ignore=shutil.ignore_patterns("*.so*", "__pycache__"))
    env = dict(os.environ, PYTHONPATH=str(tmp_path), VARNEX_LIBRARY=str(tmp_path / "nowhere.so"), LD_LIBRARY_PATH="")
    result = subprocess.run([*EMULATOR, sys.executable, "-c", "import varnex; varnex.Pacer(100)"], env=env,
                            capture_output=True, text=True)
    assert result.returncode != 0
    assert "varnex.LibraryNotFound: the Varnex library was not found" in result.stderr
    assert "nowhere.so (no such file)" in result.stderr


def test_every_struct_mirror_matches_the_c_layout_field_by_field():
    output = subprocess.run([*EMULATOR, os.environ["VARNEX_STRUCT_LAYOUT"]], check=True, capture_output=True, text=True).stdout
    layout = {}
    for line in output.splitlines():
        struct, field, value = line.split()
        layout.setdefault(struct, {})[field] = int(value)
    mirrors = {"varnex_pacer_config": _library._Config, "varnex_tick": _library._Tick,
               "varnex_pacer_stats": _library._Stats, "varnex_pacer_controls": _library._Controls,
               "varnex_reference_options": _library._ReferenceOptions,
               "varnex_sim_clock_config": _library._SimClockConfig}
    assert set(layout) == set(mirrors)
    for struct, mirror in mirrors.items():
        c_fields = dict(layout[struct])
        assert ctypes.sizeof(mirror) == c_fields.pop("sizeof"), struct
        assert {name: getattr(mirror, name).offset for name, _ in mirror._fields_} == c_fields, struct


def test_controls_are_set_and_reported_by_name():
    with varnex.Pacer(1000, mode="sleep", controls=varnex.Controls(affinity=[0])) as pacer:
        pacer.wait()
        stats = pacer.stats
        assert stats.controls_active | stats.controls_denied | stats.controls_unsupported == {"affinity"}
        pacer.set_controls(varnex.Controls(boost=True))
        pacer.wait()
        stats = pacer.stats
        assert stats.controls_active | stats.controls_denied | stats.controls_unsupported <= {"boost"}
        assert "affinity" not in stats.controls_active
        with pytest.raises(ValueError, match="invalid control"):
            pacer.set_controls(varnex.Controls(affinity=[]))
        with pytest.raises(ValueError, match="CPU numbers"):
            pacer.set_controls(varnex.Controls(affinity=[64]))
    with pytest.raises(ValueError, match="invalid control"):
        varnex.Pacer(100, mode="spin", controls=varnex.Controls(realtime_priority=10))


def test_the_rate_in_use_is_the_exact_fraction():
    with varnex.Pacer((30000, 1001)) as pacer:
        assert pacer.rate == fractions.Fraction(30000, 1001)
    with varnex.Pacer(29.97) as pacer:
        assert pacer.rate == fractions.Fraction(2997, 100)


def test_close_while_another_thread_waits_ends_the_wait_and_then_destroys():
    from close_while_waiting import close_while_waiting
    for cycle in range(200):
        close_while_waiting(use_with_block=cycle % 2 == 1)
    pacer = varnex.Pacer(100, "sleep")
    pacer.close()
    for use in (pacer.wait, pacer.cancel, lambda: pacer.stats, lambda: pacer.rate):
        with pytest.raises(varnex.Closed):
            use()


@pytest.mark.parametrize("arguments, name", [
    ({"burst_cap": 2 ** 32}, "burst_cap"), ({"burst_cap": -1}, "burst_cap"),
    ({"phase": 1e10}, "phase"), ({"phase": 2e10}, "phase"), ({"phase": -0.5}, "phase"),
    ({"phase": float("nan")}, "phase"), ({"margin": 1e-10}, "margin"), ({"margin": 4.3}, "margin"),
    ({"controls": varnex.Controls(realtime_priority=2 ** 32)}, "realtime_priority"),
])
def test_a_value_its_c_field_cannot_hold_raises_value_error_naming_it(arguments, name):
    with pytest.raises(ValueError, match=name):
        varnex.Pacer(100, "sleep", **arguments)


def test_async_for_paces_100_ticks_while_another_coroutine_runs():
    import asyncio

    async def main():
        beats = 0
        done = False

        async def other():
            nonlocal beats
            while not done:
                await asyncio.sleep(0.001)
                beats += 1

        beating = asyncio.create_task(other())
        indices, missed, turning = [], 0, 0
        with varnex.Pacer(200, "hybrid") as pacer:
            async for tick in pacer:
                indices.append(tick.index)
                missed += tick.missed
                # A loop blocked through each wait would turn at most once a
                # tick, between waits.
                turning += beats >= 2
                beats = 0
                if len(indices) == 100:
                    break
        done = True
        await beating
        return indices, missed, turning

    indices, missed, turning = asyncio.run(main())
    assert indices == sorted(set(indices))
    assert indices[-1] + 1 == len(indices) + missed, "every tick returned or counted missed"
    assert turning > 10, f"only {turning} of 100 ticks saw the other coroutine run twice"


def test_cancelling_the_async_wait_leaves_the_tick_and_a_close_ends_it():
    import asyncio

    async def main():
        pacer = varnex.Pacer(10, "sleep")
        task = asyncio.create_task(pacer.wait_async())
        await asyncio.sleep(0.02)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        first = await pacer.wait_async()
        # close() from the same loop while a wait_async is pending.
        pending = asyncio.create_task(pacer.wait_async())
        await asyncio.sleep(0.02)
        pacer.close()
        with pytest.raises(varnex.Closed):
            await pending
        return first

    assert asyncio.run(main()).index == 0


def await_sleep(thread):
    """Until the thread sleeps in its wait: in poll, ppoll or clock_nanosleep."""
    numbers = {"x86_64": ("7", "271", "230"), "aarch64": ("73", "115")}
    calls = numbers[platform.machine()]
    if EMULATOR:
        # The kernel sees the emulator's system calls, in the numbers of the
        # machine that runs it, which the emulated Python cannot tell.
        calls = sum(numbers.values(), ())
    for _ in range(10000):
        with open(f"/proc/self/task/{thread.native_id}/syscall") as state:
            if state.read().split()[0] in calls:
                return
        time.sleep(0.001)
    pytest.fail("the thread does not sleep in its wait")


def test_one_waiter_at_a_time_a_second_raises_runtime_error_and_the_first_gets_its_tick():
    import asyncio

    async def second_waiters():
        first = asyncio.create_task(pacer.wait_async())
        await asyncio.sleep(0)  # the first waits on its reader now
        with pytest.raises(RuntimeError, match="one waiter"):
            await pacer.wait_async()
        with pytest.raises(RuntimeError, match="one waiter"):
            await asyncio.get_running_loop().run_in_executor(None, pacer.wait)
        return await asyncio.wait_for(first, 5)

    def blocking_wait():
        with pytest.raises(varnex.Cancelled):
            pacer.wait()
        cancelled.set()

    cancelled = threading.Event()
    # Tick 0 after 50 ms, tick 1 two seconds later.
    with varnex.Pacer(0.5, "sleep", phase=0.05) as pacer:
        assert asyncio.run(second_waiters()).index == 0
        waiter = threading.Thread(target=blocking_wait)
        waiter.start()
        await_sleep(waiter)
        with pytest.raises(RuntimeError, match="one waiter"):
            asyncio.run(pacer.wait_async())
        pacer.cancel()
        waiter.join(5)
    assert cancelled.is_set(), "the blocking wait went on until the cancel"


def paced_after_fork(pacer, results):
    """In a forked child: a selector takes the inherited handle before any wait there; after a
    tick the host is busy for three periods, past the handle's wake-up."""
    try:
        selector = selectors.DefaultSelector()
        selector.register(pacer.fileno(), selectors.EVENT_READ)
        indices = [pacer.wait().index]
        time.sleep(3 / 20)
        ready = bool(selector.select(timeout=0))
        results.send((ready, indices + [pacer.wait().index for _ in range(3)]))
    except BaseException as error:
        results.send(repr(error))


def test_a_forked_child_paces_its_copy_of_a_pacer_beside_the_parent():
    import multiprocessing
    context = multiprocessing.get_context("fork")
    stop = threading.Event()
    parent_ticks = []

    def parent_loop():
        for tick in pacer:
            parent_ticks.append(tick.index)
            if stop.is_set():
                break

    with varnex.Pacer(20, "sleep") as pacer:
        pacer.fileno()
        ticking = threading.Thread(target=parent_loop)
        ticking.start()
        await_sleep(ticking)  # the child's copy is of a pacer that a thread waits on
        receiver, sender = context.Pipe(duplex=False)
        child = context.Process(target=paced_after_fork, args=(pacer, sender))
        child.start()
        result = receiver.recv() if receiver.poll(30) else "no answer"
        child.join(30)
        stop.set()
        ticking.join(30)
        parent_missed = pacer.stats.missed
    # The child's handle is its own: ready once its wake-up has passed, whatever the parent did.
    assert result[0] is True, result
    assert result[1] == sorted(set(result[1]))
    first = parent_ticks[0]
    assert len(parent_ticks) >= 5 and parent_ticks == list(range(first, first + len(parent_ticks)))
    # An emulated fork copies the emulator's memory too, its translated code
    # among it: the parent can stand still for more than a period then.
    assert parent_missed <= (len(parent_ticks) // 4 if EMULATOR else 0), (parent_missed, len(parent_ticks))


def test_a_blocking_wait_after_the_handle_is_out_sleeps_on_the_handle():
    with varnex.Pacer(100, "hybrid") as pacer:
        assert pacer.fileno() == pacer.wait_handle() >= 0
        indices = [pacer.wait().index for _ in range(5)]
    assert indices == [0, 1, 2, 3, 4]


def test_a_cause_that_a_newer_library_added_comes_as_its_int_with_the_tick():
    with varnex.Pacer(100) as pacer:
        library_wait = pacer._wait

        def newer_library_wait(handle, tick):
            status = library_wait(handle, tick)
            pacer._tick.cause = 9
            return status

        pacer._wait = newer_library_wait
        tick = pacer.wait()
    assert tick.index == 0
    assert tick.cause == 9 and not isinstance(tick.cause, varnex.Cause)


def test_a_blocking_wait_sleeps_on_a_handle_numbered_past_1023():
    # A host that holds a thousand files gets a descriptor that select() refuses.
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < 1100:
        pytest.skip(f"the hard limit of open files is {hard}")
    if soft != resource.RLIM_INFINITY and soft < 1100:
        resource.setrlimit(resource.RLIMIT_NOFILE, (1100, hard))
    held = []
    try:
        while not held or held[-1] < 1023:
            held.append(os.open(os.devnull, os.O_RDONLY))
        with varnex.Pacer(100, "sleep") as pacer:
            assert pacer.fileno() >= 1024
            while held:
                os.close(held.pop())
            indices = [pacer.wait().index for _ in range(3)]
    finally:
        for descriptor in held:
            os.close(descriptor)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    assert indices == sorted(set(indices))


def test_an_aligned_pacer_counts_its_ticks_from_1970_on_the_system_clock():
    with varnex.Pacer(100, align="system") as pacer:
        ticks = [pacer.wait() for _ in range(20)]
        now_index = time.time_ns() // 10_000_000
        assert now_index - 5 <= ticks[-1].index <= now_index
        assert [t.index for t in ticks] == sorted({t.index for t in ticks})
        stats = pacer.stats
        assert stats.clock_steps == 0 and stats.clock_step == 0.0
        if sys.platform.startswith("linux"):
            assert stats.clock_synchronized in (True, False)
        else:
            assert stats.clock_synchronized is None and stats.clock_error is None
    with pytest.raises(ValueError, match="align must be"):
        varnex.Pacer(100, align="gps")
    with pytest.raises(ValueError, match="invalid missed-tick policy"):
        varnex.Pacer(100, missed="delay", align="system")
    with pytest.raises(ValueError, match="invalid phase"):
        varnex.Pacer(100, phase=0.01, align="system")


def test_a_budget_gives_each_tick_its_cause_and_keeps_the_four_field_unpacking():
    with varnex.Pacer(100, budget=200e-6) as pacer:
        ticks = [pacer.wait() for _ in range(10)]
        index, lateness, interval, missed = ticks[-1]
        assert index == ticks[-1].index and missed == ticks[-1].missed
        assert all((t.cause == varnex.Cause.ON_TIME) == (t.lateness <= 200e-6) for t in ticks)
        assert pacer.stats.late_ticks == sum(t.cause != varnex.Cause.ON_TIME for t in ticks)
    with pytest.raises(ValueError, match="invalid mode"):
        varnex.Pacer(100, mode="spin", budget=20e-6)
    with pytest.raises(ValueError, match="budget must be"):
        varnex.Pacer(100, budget=-1e-6)
    # Under half a nanosecond it would reach the library as 0: no budget at all.
    with pytest.raises(ValueError, match="budget must be"):
        varnex.Pacer(100, budget=1e-10)
    with varnex.Pacer(100) as pacer:
        pacer.set_lateness_budget(0)
        with pytest.raises(ValueError, match="budget must be"):
            pacer.set_lateness_budget(1e-10)
