#!/usr/bin/env python3
"""A 500 Hz loop on a Varnex pacer, for a few seconds, then its statistics.

usage: pacer_demo.py [SECONDS] [MODE]      (default 3 s, hybrid; Ctrl-C stops it early)
"""
import sys
import time

import varnex

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 3.0
mode = sys.argv[2] if len(sys.argv) > 2 else "hybrid"
started = time.monotonic()
with varnex.Pacer(500, mode=mode) as pacer:
    try:
        for tick in pacer:
            # One cycle of the loop's work goes here.
            if time.monotonic() - started >= seconds:
                break
    except KeyboardInterrupt:
        print("stopped")
    stats = pacer.stats
print(f"{stats.ticks} ticks at 500 per second in {mode} mode, {stats.missed} missed")
print(f"lateness p50 {stats.lateness_p50 * 1e6:.1f} us, p99 {stats.lateness_p99 * 1e6:.1f} us, "
      f"max {stats.lateness_max * 1e6:.1f} us")
print(f"spinning {stats.spin:.3f} s, asleep {stats.sleep:.3f} s, thread CPU "
      f"{stats.cpu if stats.cpu is not None else float('nan'):.3f} s, margin {stats.margin * 1e6:.1f} us")
print(f"library: {varnex.library_path()} (version {varnex.version()})")
