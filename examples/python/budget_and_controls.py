import os

import varnex

try:
    varnex.Pacer(0)
except ValueError as error:                          # the library's own message
    print("refused:", error)

cpu = min(os.sched_getaffinity(0))                   # a CPU this thread may run on (Linux)
controls = varnex.Controls(affinity=[cpu])           # also boost=True, realtime_priority=50, ...
with varnex.Pacer(1000, budget=200e-6, controls=controls) as pacer:  # a p99 lateness of 200 us is fine
    for tick in pacer:                               # tick.cause: varnex.Cause.ON_TIME, OVERSLEPT, ...
        if tick.index >= 199:
            break
    stats = pacer.stats
print(f"{stats.ticks} ticks, {stats.late_ticks} late; controls active: {sorted(stats.controls_active)}")
