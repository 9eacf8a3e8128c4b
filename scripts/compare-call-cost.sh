#!/bin/bash
# compare-call-cost.sh BASE_REV: what a wait costs with this tree's library
# against BASE_REV's, the two taking turns: ten runs of the call-cost
# benchmark's pacer rows each, on one benchmark binary (this tree's), each
# run against one library. Prints each row's median of the runs' medians for
# both, their difference, and the spread (the larger range of the two).
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:?usage: compare-call-cost.sh BASE_REV}
runs=${VARNEX_COMPARE_RUNS:-10}
work=$(mktemp -d)
trap 'git worktree remove --force "$work/base" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
git worktree add --detach "$work/base" "$base" >/dev/null
cmake -S "$work/base" -B "$work/base-build" -DCMAKE_BUILD_TYPE=Release -DVARNEX_BUILD_TESTS=OFF >/dev/null
cmake --build "$work/base-build" --target varnex -j"$(nproc)" >/dev/null
cmake --preset linux -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/linux --target varnex varnex_call_cost_bench -j"$(nproc)" >/dev/null
for run in $(seq "$runs"); do
    for side in base this; do
        library_dir=build/linux
        [ "$side" = base ] && library_dir=$work/base-build
        LD_LIBRARY_PATH=$library_dir build/linux/bench/varnex_call_cost_bench --benchmark_filter=pacer_wait \
            --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
            awk -F, -v side="$side" '$1 ~ /_median"$/ {gsub(/"/, "", $1); print side "," $1 "," $3}' >>"$work/times.csv"
    done
done
python3 - "$work/times.csv" <<'PY'
import collections, csv, statistics, sys
times = collections.defaultdict(list)
for side, name, ns in csv.reader(open(sys.argv[1])):
    times[(name, side)].append(float(ns))
for name in sorted({name for name, _ in times}):
    base, this = times.get((name, "base"), []), times.get((name, "this"), [])
    if not base or not this:
        continue
    spread = max(max(base) - min(base), max(this) - min(this))
    difference = statistics.median(this) - statistics.median(base)
    target = max(5.0, spread)
    print(f"{name}: base {statistics.median(base):.1f} ns, this {statistics.median(this):.1f} ns, "
          f"difference {difference:+.1f} ns, spread {spread:.1f} ns; target at most {target:.1f} ns: "
          f"{'met' if difference <= target else 'not met'}")
PY
