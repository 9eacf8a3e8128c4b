#!/bin/bash
# Runs the benchmarks on Linux, under wine64 and under the emulated 32-bit
# Wine loader, and writes docs/benchmark.md with three charts:
# docs/benchmark.svg (every method's lateness), docs/frontier.svg (CPU against
# p99) and docs/budget.svg (CPU against the lateness budget), and rewrites the
# figures that docs/precision.md and README.md quote from the same run. Takes
# about half an hour; keep the machine otherwise idle.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
rounds=${VARNEX_BENCH_ROUNDS:-4}
# Every row: enough ticks that its p99 is 30 samples deep.
ticks=${VARNEX_BENCH_TICKS:-3000}
# One long run each of the pacer and the polling timer, for their drift.
drift_seconds=${VARNEX_BENCH_DRIFT_SECONDS:-60}

for preset in linux win64 win32; do
    cmake --preset "$preset" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build --preset "$preset" -j"$(nproc)" >/dev/null
done

out=$(realpath -m build/bench)
mkdir -p "$out" docs

# Median of five starts of a program that prints its usage and exits.
program_start() {
    local platform=$1
    shift
    for _ in 1 2 3 4 5; do
        local start_ns end_ns
        start_ns=$(date +%s%N)
        "$@" --help >/dev/null 2>&1
        end_ns=$(date +%s%N)
        echo "$platform,program_start,program start,0,start,$((end_ns - start_ns))"
    done
}

echo "== Linux: per-call cost"
build/linux/bench/varnex_call_cost_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/call_cost.json" --benchmark_out_format=json
echo "== Linux: pacing, $ticks ticks a row over $rounds rounds, 8 pacers at once, then $drift_seconds s each for drift"
build/linux/bench/varnex_pacing_bench --csv "$out/linux.csv" --rounds "$rounds" --ticks "$ticks" \
    --rates 100,1000 --pacers 8 --drift-seconds "$drift_seconds"
build/linux/bench/varnex_signal_lag_bench --csv "$out/linux.csv" --rounds "$rounds" --ticks "$ticks"
echo "== Linux: event loops (asyncio, tokio, Node) paced by their own timers and by the pacer, a round of each in turn"
(cd bindings/rust && RUSTC=/usr/bin/rustc CARGO_TARGET_DIR="$(realpath -m ../../build/linux/rust)" \
    VARNEX_LIB_DIR="$(realpath ../../build/linux)" /usr/bin/cargo build -q --release --features tokio --example tokio_bench)
for _ in $(seq "$rounds"); do
    PYTHONPATH=bindings/python VARNEX_LIBRARY=build/linux/libvarnex.so /usr/bin/python3 -B bench/asyncio_bench.py "$out/linux.csv" \
        --rounds 1 --ticks $((ticks / rounds)) --rates 100,1000
    LD_LIBRARY_PATH=build/linux build/linux/rust/release/examples/tokio_bench "$out/linux.csv" \
        --rounds 1 --ticks $((ticks / rounds)) --rates 100,1000
    VARNEX_NODE_ADDON="$(realpath build/linux/node/varnex.node)" node bench/node_bench.js "$out/linux.csv" \
        --rounds 1 --ticks $((ticks / rounds)) --rates 100,1000
done
echo "== Linux: two pacers in two time namespaces, aligned to the system clock and not"
build/linux/bench/varnex_aligned_fleet_bench --csv "$out/linux.csv" --rounds "$rounds" --seconds 3
program_start linux build/linux/tools/varnex-demo >>"$out/linux.csv"
echo "== Linux: a pacer that follows a simulated reference (docs/reference-clock.md has one run's figures)"
build/linux/bench/varnex_reference_bench --rounds 2 | tee "$out/reference.txt"
build/linux/bench/varnex_reference_cost_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    | tee -a "$out/reference.txt"
echo "== Linux: a clock the host drives (docs/benchmark.md has one run's figures), and tokio's paused time beside it"
# Across two CPUs, a wake-up is an interrupt to an idle CPU; on one, a switch.
{ echo "Threads free to run on either CPU:"; echo
  build/linux/bench/varnex_sim_clock_bench --rounds "$rounds"
  echo; echo "Every thread on one CPU (taskset -c 0):"; echo
  taskset -c 0 build/linux/bench/varnex_sim_clock_bench --rounds "$rounds"; echo; } | tee "$out/sim_clock.txt"
(cd bindings/rust && RUSTC=/usr/bin/rustc CARGO_TARGET_DIR="$(realpath -m ../../build/linux/rust)" \
    VARNEX_LIB_DIR="$(realpath ../../build/linux)" /usr/bin/cargo build -q --release --features tokio \
    --example tokio_paused_bench)
build/linux/rust/release/examples/tokio_paused_bench | tee -a "$out/sim_clock.txt"
# Lockstep is deterministic: one trace, run after run, and on a busy machine.
lockstep_hashes() {
    for _ in 1 2 3 4 5; do build/linux/examples/example_lockstep; done | grep -o '[0-9a-f]*$' | sort -u | tr '\n' ' '
}
quiet=$(lockstep_hashes)
for _ in 1 2; do timeout 300 bash -c 'while :; do :; done' & done
busy=$(lockstep_hashes)
kill $(jobs -p) 2>/dev/null || true
wait 2>/dev/null || true
printf '\nThe lockstep example (examples/cpp/lockstep.cpp), its trace hash in five runs: %s; in five beside two busy loops: %s\n' \
    "$quiet" "$busy" | tee -a "$out/sim_clock.txt"
echo "== Linux: Pacer.wait() from Python"
PYTHONPATH=bindings/python VARNEX_LIBRARY=build/linux/libvarnex.so /usr/bin/python3 -B bench/python_call_cost.py \
    "$out/python_call_cost.json"

trap 'tests/windows/wine-session.sh stop x86_64 build/win64/wine >/dev/null 2>&1
      tests/windows/wine-session.sh stop i686 build/win32/wine >/dev/null 2>&1' EXIT
for build in win64 win32; do
    arch=x86_64
    [ "$build" = win32 ] && arch=i686
    echo "== Windows $arch under Wine: pacing"
    tests/windows/wine-session.sh prefix "$arch" "build/$build/wine" >/dev/null
    tests/windows/wine-session.sh start "$arch" "build/$build/wine" >/dev/null
    # The emulated 32-bit loader is slow to run: one rate there.
    rates=100,1000
    [ "$build" = win32 ] && rates=1000
    (cd "build/$build/bin" && ../wine-run.sh varnex_pacing_bench.exe --csv "Z:$out/$build.csv" \
        --rounds "$rounds" --ticks "$ticks" --rates "$rates" &&
        ../wine-run.sh varnex_signal_lag_bench.exe --csv "Z:$out/$build.csv" --rounds "$rounds" --ticks "$ticks")
    platform=$(awk -F, 'NR == 2 {print $1}' "$out/$build.csv")
    program_start "$platform" "build/$build/wine-run.sh" "build/$build/bin/varnex-demo.exe" >>"$out/$build.csv"
    tests/windows/wine-session.sh stop "$arch" "build/$build/wine" >/dev/null
done
# Debian's Python, where python3-matplotlib is.
/usr/bin/python3 bench/report.py --page docs/precision.md --page README.md --sim-clock "$out/sim_clock.txt" \
    docs/benchmark.md docs/benchmark.svg docs/frontier.svg docs/budget.svg "$out/call_cost.json" \
    "$out/python_call_cost.json" "$out/linux.csv" "$out/win64.csv" "$out/win32.csv"
cat docs/benchmark.md
