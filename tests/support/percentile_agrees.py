"""The percentile that the C++ tools print (support/percentile.h, through
PROGRAM) is the one bench/report.py computes (bench/percentile.py), on the
same samples: unsorted, of every size up to 13, at the report's fractions
and at fractions that land exactly half-way between two ranks.

usage: percentile_agrees.py PROGRAM BENCH_DIR [EMULATOR...]
(an emulated build's PROGRAM runs under EMULATOR)"""
import math
import random
import subprocess
import sys

sys.path.insert(0, sys.argv[2])
from percentile import percentile  # noqa: E402

# Nearest rank, as the benchmark's figures have always been: interpolating
# would give 25.
assert percentile([10, 20, 30, 40], 0.5) == 30, percentile([10, 20, 30, 40], 0.5)

generator = random.Random(7)
cases = [(0.5, [])]
for size in range(1, 14):
    values = [generator.choice([generator.randint(-50, 50), generator.uniform(0, 1e6)]) for _ in range(size)]
    half_ranks = [(rank + 0.5) / (size - 1) for rank in range(size - 1)] if size > 1 else []
    for fraction in [0, 0.01, 0.25, 0.5, 0.75, 0.99, 0.995, 0.999, 1.0] + half_ranks:
        cases.append((fraction, values))

lines = "".join(" ".join(repr(float(x)) for x in [fraction] + values) + "\n" for fraction, values in cases)
printed = subprocess.run([*sys.argv[3:], sys.argv[1]], input=lines, capture_output=True, text=True, check=True).stdout.split()
assert len(printed) == len(cases), (len(printed), len(cases))
failures = 0
for (fraction, values), text in zip(cases, printed):
    expected = percentile(sorted(values), fraction)
    got = float(text)
    if not (got == expected or (math.isnan(got) and math.isnan(expected))):
        print(f"fraction {fraction} of {values}: C++ {got}, Python {expected}")
        failures += 1
print(f"{len(cases) - failures} passed, {failures} failed")
sys.exit(1 if failures else 0)
