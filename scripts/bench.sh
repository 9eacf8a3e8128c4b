#!/bin/bash
# Runs the benchmarks on Linux and under Wine and writes docs/benchmark.md and
# docs/benchmark.svg. Takes a few minutes; keep the machine otherwise idle.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
rounds=${VARNEX_BENCH_ROUNDS:-4}
seconds=${VARNEX_BENCH_SECONDS:-1}

for preset in linux win64; do
    cmake --preset "$preset" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done

out=build/bench
mkdir -p "$out" docs
echo "== Linux: per-call cost"
build/linux/bench/varnex_call_cost_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/call_cost.json" --benchmark_out_format=json
echo "== Linux: pacing, $rounds rounds of $seconds s per method"
build/linux/bench/varnex_pacing_bench "$out/linux.csv" "$rounds" "$seconds"
echo "== Windows x86_64 under Wine: pacing"
tests/windows/wine-session.sh start build/win64/wine >/dev/null
trap 'tests/windows/wine-session.sh stop build/win64/wine >/dev/null 2>&1' EXIT
(cd build/win64/bin && ../wine-run.sh varnex_pacing_bench.exe "Z:$(realpath ../../bench)/windows.csv" "$rounds" "$seconds")
python3 bench/report.py docs/benchmark.md docs/benchmark.svg "$out/call_cost.json" "$out/linux.csv" "$out/windows.csv"
cat docs/benchmark.md
