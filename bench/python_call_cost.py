#!/usr/bin/env python3
"""What one Pacer.wait() costs from Python, set up as the call-cost benchmark
sets up the C call it wraps: a pacer at one tick a nanosecond, whose every
wait finds its deadline passed or one read away. Writes the median of five
runs of 100,000 calls as JSON.

usage: python_call_cost.py OUT.json     (with varnex on PYTHONPATH)
"""
import json
import statistics
import sys
import time

import varnex

CALLS = 100000


def per_call_ns(function):
    start = time.perf_counter_ns()
    for _ in range(CALLS):
        function()
    return (time.perf_counter_ns() - start) / CALLS


def main():
    with varnex.Pacer(1000000000, mode="spin") as pacer:
        per_call_ns(pacer.wait)
        wait_ns = statistics.median(per_call_ns(pacer.wait) for _ in range(5))
    with open(sys.argv[1], "w") as handle:
        json.dump({"python_wait_ns": wait_ns}, handle)
    print(f"Pacer.wait() from Python: {wait_ns:.0f} ns a call")
    return 0


if __name__ == "__main__":
    sys.exit(main())
