#!/usr/bin/env python3
"""An asyncio loop paced three ways at each rate, the ways taking turns in
rounds: asyncio.sleep to the next grid point, loop.call_at on the grid, and
the pacer's async for in hybrid mode (the loop waits on its readiness
handle). Appends each tick's lateness (the reading after the wake-up minus
the deadline) and each round's CPU-seconds per second to the pacing
benchmark's CSV.

usage: asyncio_bench.py CSV [--rounds N] [--ticks N] [--rates R,R]   (with varnex on PYTHONPATH)
"""
import argparse
import asyncio
import time

import varnex


async def sleep_to_grid(rate, ticks):
    period_ns = 1000000000 // rate
    start_ns = time.monotonic_ns() + period_ns
    lateness = []
    for k in range(ticks):
        deadline_ns = start_ns + k * period_ns
        await asyncio.sleep(max(0, deadline_ns - time.monotonic_ns()) / 1e9)
        lateness.append(time.monotonic_ns() - deadline_ns)
    return lateness


async def call_at_grid(rate, ticks):
    # loop.time() is time.monotonic(): the same clock as the readings.
    loop = asyncio.get_running_loop()
    period_ns = 1000000000 // rate
    start_ns = time.monotonic_ns() + period_ns
    lateness = []
    for k in range(ticks):
        deadline_ns = start_ns + k * period_ns
        woken = loop.create_future()
        loop.call_at(deadline_ns / 1e9, woken.set_result, None)
        await woken
        lateness.append(time.monotonic_ns() - deadline_ns)
    return lateness


async def pacer_async_for(rate, ticks):
    # The deadlines come from the ticks, as the C benchmark finds them: a
    # deadline is the library's final reading minus the lateness it reported,
    # at or before the host's reading, so the grid's start is the least of
    # (reading - lateness - k's offset).
    period_ns = 1000000000 / rate
    readings, library_lateness, indices = [], [], []
    with varnex.Pacer(rate, "hybrid") as pacer:
        await pacer.wait_async()
        async for tick in pacer:
            readings.append(time.monotonic_ns())
            library_lateness.append(tick.lateness * 1e9)
            indices.append(tick.index)
            if len(indices) == ticks:
                break
    start_ns = min(reading - lateness - index * period_ns
                   for reading, lateness, index in zip(readings, library_lateness, indices))
    return [reading - start_ns - index * period_ns for reading, index in zip(readings, indices)]


METHODS = [("asyncio_sleep", "asyncio.sleep to the grid", sleep_to_grid),
           ("asyncio_call_at", "asyncio loop.call_at on the grid", call_at_grid),
           ("pacer_asyncio", "varnex hybrid async for", pacer_async_for)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("csv")
    parser.add_argument("--rounds", type=int, default=4)
    parser.add_argument("--ticks", type=int, default=3000)
    parser.add_argument("--rates", default="100,1000")
    options = parser.parse_args()
    with open(options.csv, "a") as out:
        for round_number in range(options.rounds):
            for rate in (int(rate) for rate in options.rates.split(",")):
                for method_id, name, run in METHODS:
                    ticks = options.ticks // options.rounds
                    cpu_start_s, wall_start_s = time.process_time(), time.monotonic()
                    lateness = asyncio.run(run(rate, ticks))
                    cpu_per_second = (time.process_time() - cpu_start_s) / (time.monotonic() - wall_start_s)
                    for value in lateness:
                        out.write(f"linux,{method_id},{name},{rate},error,{value:.4f}\n")
                    out.write(f"linux,{method_id},{name},{rate},cpu,{cpu_per_second:.4f}\n")
                    out.flush()
            print(f"asyncio round {round_number + 1} of {options.rounds} done")


if __name__ == "__main__":
    main()
