#!/usr/bin/env python3
"""Turns the pacing benchmark's samples and the call-cost benchmark's JSON into
a markdown report and three charts: the lateness distribution of every method
(log scale); the frontier, where each method is a point with its CPU per
second against its p99 lateness; and the hybrid's CPU against its lateness
budget, beside the oracle's.

Each --page is rewritten where it quotes the run, between

    <!-- bench: NAME -->  ...  <!-- end bench -->

on lines of their own around a table, or within a line around a sentence
(such a line must not begin with the marker, or Markdown shows the sentence
as raw HTML). tests/docs/check_docs.py's generated tables come from the tree;
these come from a run, so only this report writes them.
"""
import argparse
import collections
import datetime
import json
import math
import os
import pathlib
import re
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (the backend comes first)

from percentile import percentile  # noqa: E402

# Samples of a platform's fixed costs and findings, not of a pacing method.
FIXED = ("read", "start", "margin")
# Methods by the identifiers the benchmarks write beside their names.
SLEEPERS = {"clock_nanosleep", "waitable_timer", "pacer_sleep"}
VARNEX = ("polling", "pacer_", "hybrid_", "threaded_", "many_hybrid_")
BARE_SPIN = "bare_spin"
CALLED_SPIN = "called_spin"
SPIN = "pacer_spin"
SPIN_REPORTED = "pacer_spin_reported"
SLEEP = "pacer_sleep"
HYBRID = "pacer_hybrid"
ORACLE = "oracle_hybrid"
BARE_HAND_OFF = "bare_hand_off"
# What a hybrid should reach in a quiet run: CPU-seconds per second.
CPU_AIMS = {("linux", 1000): 0.35, ("linux", 100): 0.05, ("windows x64", 100): 0.25}
# A group of pacers at once: "many_hybrid_N" for all of them, "many_hybrid_N_I" for each.
MANY = "many_hybrid_"
PACER_EPOLL = "pacer_epoll"
# Each event loop's pacer row, the loop's own timers, and its name in the table (bench/asyncio_bench.py,
# bench/tokio_bench.rs, bench/node_bench.js).
EVENT_LOOPS = (("pacer_asyncio", ("asyncio_sleep", "asyncio_call_at"), "asyncio"),
               ("pacer_tokio", ("tokio_interval",), "tokio"),
               ("pacer_node", ("node_setinterval", "node_settimeout"), "Node"))
# Two pacers in two time namespaces, aligned to the system clock or not.
ALIGNED_PAIR = "aligned_pair"
UNALIGNED_PAIR = "unaligned_pair"
ALIGNED_OFFSET_AIM_NS = 20000
# The hybrid with each lateness budget (ns), and the oracle for it: a fixed
# margin of the run's p99 sleep-mode lateness less the budget. With no budget
# the hybrid's rule is the p99.5, and so is its oracle's.
BUDGETS = [(0, HYBRID, ORACLE), (10000, "budget_10us", "oracle_budget_10us"),
           (50000, "budget_50us", "oracle_budget_50us"), (200000, "budget_200us", "oracle_budget_200us")]
ON_TIME_NS = 10000
# The Google Benchmark rows of the per-call table, and its names for them.
CALL_NAMES = {"counter_read_median": "one counter read (clock_gettime)",
              "wait_at_first_reading_median": "WaitForRTTimerLV ending at its first reading",
              "pacer_wait/statistics:0_median": "pacer wait at its deadline, statistics off",
              "pacer_wait/statistics:1_median": "pacer wait at its deadline, statistics on",
              "pacer_wait_aligned_median": "pacer wait at its deadline, aligned to the system clock"}
PYTHON_WAIT = "the same wait as Pacer.wait() from Python (ctypes)"
PYTHON_OVER_C = "Python's cost over the C call"
REGION = re.compile(r"<!-- bench: ([\w -]+) -->(.*?)<!-- end bench -->", re.S)
# The front page's table: the Linux rows at 1,000 ticks per second, as it names them.
FRONT_PAGE = [("Varnex pacer, spin", SPIN), ("Varnex pacer, hybrid (learned margin)", HYBRID),
              ("Varnex pacer, sleep", SLEEP), ("`clock_nanosleep`, absolute, for comparison", "clock_nanosleep"),
              ("asyncio paced by the hybrid's `async for`", "pacer_asyncio")]
# The rest of the comparison on the precision page: platform and method as it names them, and the row.
COMPARISON = [("Linux", "Varnex polling", "linux", "polling", 1000),
              ("Linux", "hybrid, fixed 125 µs margin", "linux", "hybrid_fixed_125us", 1000),
              ("Linux", "oracle hybrid", "linux", ORACLE, 1000),
              ("Linux", "bare spin", "linux", BARE_SPIN, 1000),
              ("Linux", "Varnex pacer, hybrid (learned margin)", "linux", HYBRID, 100),
              ("Linux", "Varnex pacer, sleep", "linux", SLEEP, 100),
              ("Linux", "bare spin", "linux", BARE_SPIN, 100),
              ("Linux, epoll", "hybrid on its readiness handle", "linux", PACER_EPOLL, 1000),
              ("Linux, asyncio", "`asyncio.sleep` to the grid", "linux", "asyncio_sleep", 1000),
              ("Linux, asyncio", "`loop.call_at` on the grid", "linux", "asyncio_call_at", 1000),
              ("Linux, asyncio", "`asyncio.sleep` to the grid", "linux", "asyncio_sleep", 100),
              ("Linux, asyncio", "hybrid, `async for`", "linux", "pacer_asyncio", 100),
              ("wine64", "Varnex pacer, hybrid (learned margin)", "windows x64", HYBRID, 100),
              ("wine64", "Varnex pacer, sleep", "windows x64", SLEEP, 100),
              ("wine64", "bare spin", "windows x64", BARE_SPIN, 100),
              ("wine64", "Varnex pacer, hybrid (learned margin)", "windows x64", HYBRID, 1000),
              ("i686 under qemu", "Varnex pacer, hybrid (learned margin)", "windows i686", HYBRID, 1000)]


def median(values):
    return percentile(sorted(values), 0.5)


def load(paths):
    samples = collections.defaultdict(list)
    order = []
    names = {}
    for path in paths:
        with open(path) as handle:
            next(handle)
            # The fields are unquoted, and an earlier benchmark wrote a method name with a comma:
            # the name is whatever lies between the second field and the last four.
            for line in handle:
                platform, method_id, rest = line.rstrip("\n").split(",", 2)
                method, rate, kind, value_ns = rest.rsplit(",", 3)
                key = (platform, method_id, int(rate))
                if key not in order:
                    order.append(key)
                    names[key] = method
                samples[key + (kind,)].append(float(value_ns))
    rows = []
    machine = collections.defaultdict(dict)
    for key in order:
        found = [kind for kind in FIXED if samples.get(key + (kind,))]
        for kind in found:
            machine[key[0]][kind] = median(samples[key + (kind,)])
        if found:
            continue
        kind = next((k for k in ("lag", "offset") if samples.get(key + (k,))), "error")
        # Magnitude: a spin ends a quantum early or late, a sleeper only late.
        values = sorted(abs(v) for v in samples.get(key + (kind,), []))
        rows.append({
            "platform": key[0], "id": key[1], "method": names[key], "rate": key[2], "kind": kind, "values": values,
            "p50": percentile(values, 0.5), "p99": percentile(values, 0.99),
            "p999": percentile(values, 0.999), "max": values[-1] if values else float("nan"),
            "drift": median(samples.get(key + ("drift",), [])),
            "long_drift": median(samples.get(key + ("long drift",), [])),
            "cpu": median(samples.get(key + ("cpu",), [])),
            "rounds": len(samples.get(key + ("cpu",), [])),
        })
    return rows, machine


def format_ns(value):
    if math.isnan(value):
        return "–"
    magnitude = abs(value)
    if magnitude >= 1e6:
        return f"{value / 1e6:.2f} ms"
    if magnitude >= 1e3:
        return f"{value / 1e3:.1f} µs"
    return f"{value:.0f} ns"


def format_cpu(value):
    return "–" if math.isnan(value) else f"{value:.3f}"


def find(rows, platform, method_id, rate):
    for row in rows:
        if (row["platform"], row["id"], row["rate"]) == (platform, method_id, rate):
            return row
    return None


def ratio(numerator, denominator):
    if math.isnan(numerator) or math.isnan(denominator) or denominator == 0:
        return float("nan")
    return numerator / denominator


def format_ratio(value):
    return "–" if math.isnan(value) else f"{value:,.2f}×"


def pacing_rows(rows):
    return [r for r in rows if r["kind"] == "error" and not r["id"].startswith(MANY) and r["values"]]


def targets(rows):
    """Each hybrid target as a ratio to a method of the same run and rate."""
    lines = ["| platform | rate /s | hybrid p99 | bare spin p99 | ratio (≤ 2×) | same spin behind a call, p99 | "
             "ratio | hybrid CPU | oracle CPU | ratio (≤ 2×) | CPU aim | sleep mode p99 | learned margin |",
             "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    measured = []
    for hybrid in rows:
        if hybrid["id"] != HYBRID:
            continue
        platform, rate = hybrid["platform"], hybrid["rate"]
        bare = find(rows, platform, BARE_SPIN, rate)
        called = find(rows, platform, CALLED_SPIN, rate)
        oracle = find(rows, platform, ORACLE, rate)
        sleep = find(rows, platform, SLEEP, rate)
        if not (bare and oracle and sleep):
            continue
        aim = CPU_AIMS.get((platform, rate))
        aim_text = "–" if aim is None else f"≤ {aim} ({'met' if hybrid['cpu'] <= aim else 'not met'})"
        p99_ratio = ratio(hybrid["p99"], bare["p99"])
        cpu_ratio = ratio(hybrid["cpu"], oracle["cpu"])
        lines.append(
            f"| {platform} | {rate:,} | {format_ns(hybrid['p99'])} | {format_ns(bare['p99'])} | "
            f"{format_ratio(p99_ratio)} {'met' if p99_ratio <= 2 else 'not met'} | "
            f"{format_ns(called['p99']) if called else '–'} | "
            f"{format_ratio(ratio(hybrid['p99'], called['p99'])) if called else '–'} | "
            f"{format_cpu(hybrid['cpu'])} | {format_cpu(oracle['cpu'])} | "
            f"{format_ratio(cpu_ratio)} {'met' if cpu_ratio <= 2 else 'not met'} | {aim_text} | "
            f"{format_ns(sleep['p99'])} | {{margin:{platform}}} |")
        measured.append(platform)
    return lines if measured else []


def spin_return_targets(rows):
    """Spin mode as the host sees it, against the bare spin of the same run: what lies between the
    library's final reading and the host's is its return path."""
    lines = ["| platform | rate /s | spin mode p99, host's reading | the library's own p99 | bare spin p99 | "
             "ratio (≤ 2×) | same spin behind a call, p99 |", "|---|---:|---:|---:|---:|---:|---:|"]
    for spin in rows:
        if spin["id"] != SPIN:
            continue
        platform, rate = spin["platform"], spin["rate"]
        bare = find(rows, platform, BARE_SPIN, rate)
        reported = find(rows, platform, SPIN_REPORTED, rate)
        called = find(rows, platform, CALLED_SPIN, rate)
        if not bare:
            continue
        p99_ratio = ratio(spin["p99"], bare["p99"])
        lines.append(f"| {platform} | {rate:,} | {format_ns(spin['p99'])} | "
                     f"{format_ns(reported['p99']) if reported else '–'} | {format_ns(bare['p99'])} | "
                     f"{format_ratio(p99_ratio)} {'met' if p99_ratio <= 2 else 'not met'} | "
                     f"{format_ns(called['p99']) if called else '–'} |")
    return lines if len(lines) > 2 else []


def event_loop_targets(rows):
    """The pacer on each event loop against that loop's own timers, and against the same hybrid on its
    handle in a C epoll loop."""
    lines = ["| loop | rate /s | pacer on the loop p99 | better timer of the loop p99 | ratio (≤ 0.1×) | "
             "pacer on the loop CPU | C epoll on the handle CPU | ratio (≤ 2×) |",
             "|---|---:|---:|---:|---:|---:|---:|---:|"]
    for pacer_id, timer_ids, loop in EVENT_LOOPS:
        for paced in rows:
            if paced["id"] != pacer_id:
                continue
            platform, rate = paced["platform"], paced["rate"]
            timers = [row for row in (find(rows, platform, timer, rate) for timer in timer_ids) if row]
            epoll = find(rows, platform, PACER_EPOLL, rate)
            if not timers or not epoll:
                continue
            better = min(timers, key=lambda row: row["p99"])
            p99_ratio = ratio(paced["p99"], better["p99"])
            cpu_ratio = ratio(paced["cpu"], epoll["cpu"])
            lines.append(f"| {loop} | {rate:,} | {format_ns(paced['p99'])} | {format_ns(better['p99'])} "
                         f"({better['method']}) | "
                         f"{format_ratio(p99_ratio)} {'met' if p99_ratio <= 0.1 else 'not met'} | "
                         f"{format_cpu(paced['cpu'])} | {format_cpu(epoll['cpu'])} | "
                         f"{format_ratio(cpu_ratio)} {'met' if cpu_ratio <= 2 else 'not met'} |")
    return lines if len(lines) > 2 else []


def aligned_pair_lines(rows):
    lines = ["| rate /s | same-index offset p50 | p99 | max | target: p50 ≤ 20 µs | CPU per s, aligned | "
             "CPU per s, unaligned |", "|---:|---:|---:|---:|---|---:|---:|"]
    for row in rows:
        if row["id"] != ALIGNED_PAIR or not row["values"]:
            continue
        unaligned = find(rows, row["platform"], UNALIGNED_PAIR, row["rate"])
        met = "met" if row["p50"] <= ALIGNED_OFFSET_AIM_NS else "not met"
        lines.append(f"| {row['rate']:,} | {format_ns(row['p50'])} | {format_ns(row['p99'])} | "
                     f"{format_ns(row['max'])} | {met} | {format_cpu(row['cpu'])} | "
                     f"{format_cpu(unaligned['cpu'] if unaligned else math.nan)} |")
    return lines if len(lines) > 2 else []


def budget_lines(rows):
    lines = ["| platform | rate /s | budget | p99 | ticks beyond it | CPU per s | oracle CPU | "
             "p99 ≤ budget + spin p99 | CPU ≤ 1.5× oracle |", "|---|---:|---:|---:|---:|---:|---:|---|---|"]
    for platform, rate in sorted({(r["platform"], r["rate"]) for r in rows if r["id"] == "budget_10us"}):
        spin = find(rows, platform, BARE_SPIN, rate)
        for budget_ns, method_id, oracle_id in BUDGETS:
            row, oracle = find(rows, platform, method_id, rate), find(rows, platform, oracle_id, rate)
            if not (row and oracle and spin and row["values"]):
                continue
            limit = budget_ns or ON_TIME_NS
            beyond = sum(1 for value in row["values"] if value > limit)
            p99_met = row["p99"] <= budget_ns + spin["p99"]
            cpu_met = row["cpu"] <= 1.5 * oracle["cpu"]
            lines.append(f"| {platform} | {rate:,} | {format_ns(budget_ns) if budget_ns else 'none'} | "
                         f"{format_ns(row['p99'])} | {beyond:,} of {len(row['values']):,} | {format_cpu(row['cpu'])} | "
                         f"{format_cpu(oracle['cpu'])} | {'met' if p99_met else 'not met'} | "
                         f"{'met' if cpu_met else 'not met'} ({format_ratio(ratio(row['cpu'], oracle['cpu']))}) |")
    return lines if len(lines) > 2 else []


def budget_chart(rows, path):
    groups = sorted({(r["platform"], r["rate"]) for r in rows if r["id"] == "budget_10us"})
    figure, axes = plt.subplots(figsize=(11, 6))
    for index, (platform, rate) in enumerate(groups):
        for kind, position, style in (("varnex hybrid", 1, "-o"), ("oracle", 2, "--s")):
            points = [(budget_ns / 1000, find(rows, platform, ids[position - 1], rate))
                      for budget_ns, *ids in BUDGETS]
            points = [(x, row["cpu"]) for x, row in points if row and not math.isnan(row["cpu"])]
            if points:
                axes.plot([x for x, _ in points], [y for _, y in points], style, color=f"C{index}",
                          label=f"{kind}, {platform}, {rate:,}/s")
    axes.set_xlabel("lateness budget, µs (0: none)")
    axes.set_ylabel("CPU-seconds per second of the waiting thread")
    axes.set_yscale("log")
    axes.set_title("What a lateness budget saves: the hybrid against the oracle for the same budget")
    axes.grid(which="major", color="#ddd")
    axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def markdown(rows, machine, call_cost, sim_clock):
    lines = ["What each platform offers (medians): one counter read, the floor under every spin; the hybrid "
             "margin a pacer learned over one second at 1,000 ticks per second; the start of a program that "
             "does nothing.", "",
             "| platform | one counter read | margin learned | program start |", "|---|---:|---:|---:|"]
    lines += [f"| {platform} | {format_ns(found.get('read', math.nan))} | {format_ns(found.get('margin', math.nan))} "
              f"| {format_ns(found.get('start', math.nan))} |" for platform, found in machine.items()]
    lines += ["", "|Lateness| of every method, the methods taking turns in rounds (a tick paced from the previous "
              "one: its interval minus the period; on an absolute schedule: the host's reading after the wait "
              "minus the deadline), and the waiting thread's CPU-seconds per second:", "",
              "| platform | method | rate /s | p50 | p99 | p99.9 | max | CPU per s | drift per round |",
              "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for row in pacing_rows(rows):
        lines.append(f"| {row['platform']} | {row['method']} | {row['rate']:,} | {format_ns(row['p50'])} | "
                     f"{format_ns(row['p99'])} | {format_ns(row['p999'])} | {format_ns(row['max'])} | "
                     f"{format_cpu(row['cpu'])} | {format_ns(row['drift'])} |")
    target_lines = targets(rows)
    if target_lines:
        text = "\n".join(target_lines)
        for platform, found in machine.items():
            text = text.replace(f"{{margin:{platform}}}", format_ns(found.get("margin", math.nan)))
        lines += ["", "The hybrid's targets, each a ratio to a method of the same run:", "", text]
    spin_lines = spin_return_targets(rows)
    if spin_lines:
        lines += ["", "Spin mode's return path: the host's reading right after the wait, against the lateness the "
                  "library reported from its own final reading and against a bare spin, in one run:", ""] + spin_lines
    loop_lines = event_loop_targets(rows)
    if loop_lines:
        lines += ["", "Event loops on Linux, each a ratio within the run:", ""] + loop_lines
    budget_table = budget_lines(rows)
    if budget_table:
        lines += ["", "Lateness budgets: the hybrid with each, beside the oracle for it (a fixed margin of the run's "
                  "p99 sleep-mode lateness less the budget; with none, the p99.5), and the targets as ratios "
                  "within the run:", ""] + budget_table
    pair_lines = aligned_pair_lines(rows)
    if pair_lines:
        lines += ["", "Two machines on one synchronized clock, simulated on Linux: two hybrid pacers in two "
                  "processes, the second in a time namespace whose monotonic clock reads 1,000.123456 s ahead, "
                  "all with the same fixed margin; how far apart the aligned pair's ticks of one index came, and "
                  "each pacer's CPU, aligned and unaligned, in alternating rounds:", ""] + pair_lines
    many = [r for r in rows if r["id"].startswith(MANY) and r["values"]]
    if many:
        lines += ["", "Hybrid pacers at once in one process, at 100 ticks per second each, their phases spread "
                  "evenly over the period:", "", "| platform | pacer | p50 | p99 | max | CPU per s, all |",
                  "|---|---|---:|---:|---:|---:|"]
        for row in many:
            group = row["id"].rsplit("_", 1)[0]
            total = next((r["cpu"] for r in rows if r["platform"] == row["platform"] and r["id"] == group), math.nan)
            lines.append(f"| {row['platform']} | {row['method']} | {format_ns(row['p50'])} | {format_ns(row['p99'])} "
                         f"| {format_ns(row['max'])} | {format_cpu(total)} |")
    long_runs = [row for row in rows if not math.isnan(row["long_drift"])]
    if long_runs:
        lines += ["", "Drift over one long run (the median offset of the last 1,000 ticks from the ideal schedule, "
                  "against that of the first 1,000):", "", "| platform | method | rate /s | drift |",
                  "|---|---|---:|---:|"]
        lines += [f"| {row['platform']} | {row['method']} | {row['rate']:,} | {format_ns(row['long_drift'])} |"
                  for row in long_runs]
    lags = [row for row in rows if row["kind"] == "lag"]
    if lags:
        lines += ["", "Threaded timer: lag from the worker's signal to the waiter's return, against a bare "
                  "hand-off between two threads by the same mechanism.", "",
                  "| platform | method | rate /s | p50 | p99 | max | CPU per s | p50 vs bare |",
                  "|---|---|---:|---:|---:|---:|---:|---:|"]
        for row in lags:
            bare = find(rows, row["platform"], BARE_HAND_OFF, row["rate"])
            lines.append(f"| {row['platform']} | {row['method']} | {row['rate']:,} | {format_ns(row['p50'])} | "
                         f"{format_ns(row['p99'])} | {format_ns(row['max'])} | {format_cpu(row['cpu'])} | "
                         f"{format_ratio(ratio(row['p50'], bare['p50'])) if bare else '–'} |")
    if call_cost:
        lines += ["", "Per call (Linux; Google Benchmark, and five runs of 100,000 calls from Python; medians):", "",
                  "| call | time |", "|---|---:|"]
        for name, nanoseconds in call_cost.items():
            lines.append(f"| {name} | {nanoseconds:.1f} ns |")
    if sim_clock:
        lines += ["", "A clock the host drives (Linux; `scripts/bench.sh` runs bench/sim_clock_bench.cpp; medians over the rounds; each "
                  "lockstep step is an advance of 1 ms that settles, its round trip the advance's call; "
                  "bench/tokio_paused_bench.rs in the same run):", "", sim_clock.strip()]
    return "\n".join(lines) + "\n"


def colour(method_id):
    if method_id in SLEEPERS:
        return "#c0392b"
    if "hybrid" in method_id:
        return "#27ae60"
    return "#2c7fb8" if method_id.startswith(VARNEX) else "#7f8c8d"


def distribution_chart(rows, path):
    plotted = [r for r in rows if r["values"] and not r["id"].startswith(MANY)]
    figure, axes = plt.subplots(figsize=(11, 0.28 * len(plotted) + 1.4))
    stats = []
    for row in plotted:
        values = [max(v, 1.0) for v in row["values"]]
        stats.append({"label": f"{row['platform']}: {row['method']}, {row['rate']:,}/s"
                               f"{' (wake-up lag)' if row['kind'] == 'lag' else ' (same-index offset)' if row['kind'] == 'offset' else ''}",
                      "med": percentile(values, 0.5), "q1": percentile(values, 0.25), "q3": percentile(values, 0.75),
                      "whislo": percentile(values, 0.01), "whishi": percentile(values, 0.99)})
    positions = list(range(len(plotted), 0, -1))
    boxes = axes.bxp(stats, positions=positions, vert=False, showfliers=False, patch_artist=True, widths=0.6)
    for box, row in zip(boxes["boxes"], plotted):
        box.set_facecolor(colour(row["id"]))
        box.set_alpha(0.5)
    axes.scatter([max(r["max"], 1.0) for r in plotted], positions, s=10, color="black", zorder=3, label="max")
    axes.set_xscale("log")
    axes.set_xlabel("|lateness|, wake-up lag or offset, ns (box p25–p75, whiskers p1–p99, dot max)")
    axes.grid(axis="x", which="major", color="#ddd")
    axes.legend(loc="lower right")
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def frontier_chart(rows, path):
    plotted = [r for r in pacing_rows(rows) if not math.isnan(r["cpu"]) and r["cpu"] > 0]
    groups = sorted({(r["platform"], r["rate"]) for r in plotted})
    figure, axes = plt.subplots(figsize=(11, 7.5))
    markers = "osD^vP*X"
    for index, (platform, rate) in enumerate(groups):
        members = [r for r in plotted if (r["platform"], r["rate"]) == (platform, rate)]
        axes.scatter([r["cpu"] for r in members], [max(r["p99"], 1.0) for r in members],
                     marker=markers[index % len(markers)], s=45, label=f"{platform}, {rate:,}/s",
                     color=[colour(r["id"]) for r in members], edgecolors="black", linewidths=0.5)
        for row in members:
            axes.annotate(row["method"], (row["cpu"], max(row["p99"], 1.0)), fontsize=7, xytext=(4, 3),
                          textcoords="offset points")
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("CPU-seconds per second of the waiting thread")
    axes.set_ylabel("p99 |lateness|, ns")
    axes.set_title("Precision against CPU: lower left is better")
    axes.grid(which="major", color="#ddd")
    axes.legend(title="marker: platform and rate; colour: kind of wait", fontsize=8)
    figure.tight_layout()
    figure.savefig(path)
    plt.close(figure)


def read_json(path):
    try:
        with open(path) as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return {}


def call_costs(path, python_path):
    costs = {CALL_NAMES[b["name"]]: b["real_time"] for b in read_json(path).get("benchmarks", [])
             if b["name"] in CALL_NAMES}
    aligned_ns = costs.get(CALL_NAMES["pacer_wait_aligned_median"])
    statistics_ns = costs.get(CALL_NAMES["pacer_wait/statistics:1_median"])
    if aligned_ns is not None and statistics_ns is not None:
        check_ns = aligned_ns - statistics_ns
        costs[f"the clock check of an aligned wait (target under 1 µs: {'met' if check_ns < 1000 else 'not met'})"] = \
            check_ns
    python_ns = read_json(python_path).get("python_wait_ns")
    c_ns = costs.get(CALL_NAMES["pacer_wait/statistics:1_median"])
    if python_ns is not None:
        costs[PYTHON_WAIT] = python_ns
        if c_ns is not None:
            costs[PYTHON_OVER_C] = python_ns - c_ns
    return costs


def stat(rows, platform, method_id, rate, field):
    row = find(rows, platform, method_id, rate)
    return row[field] if row else math.nan


def figure_cells(rows, platform, method_id, rate):
    return [format_ns(stat(rows, platform, method_id, rate, field)) for field in ("p50", "p99", "p999")] + \
        [format_cpu(stat(rows, platform, method_id, rate, "cpu"))]


def run_text(rows, sample_paths):
    """When the run was made (its samples' files were last written), by what, and its shape."""
    day = datetime.date.fromtimestamp(max(os.path.getmtime(path) for path in sample_paths))
    hybrid = next((r for r in pacing_rows(rows) if r["id"] == HYBRID and r["rounds"]), None)
    shape = ""
    if hybrid:
        rounds = hybrid["rounds"]
        shape = f" ({rounds} round{'s' if rounds > 1 else ''}, {len(hybrid['values']):,} ticks a row over them)"
    return f"measured on {day.isoformat()} by `scripts/bench.sh`{shape}"


def page_regions(rows, call_cost, sample_paths):
    """The text of each region of the pages that quote the run."""
    def ns(method_id, field, rate=1000, platform="linux"):
        return format_ns(stat(rows, platform, method_id, rate, field))

    def cpu(method_id, rate=1000):
        return format_cpu(stat(rows, "linux", method_id, rate, "cpu"))

    def table_row(cells):
        return "| " + " | ".join(cells) + " |"

    front = ["| method | p50 | p99 | p99.9 | CPU per s |", "|---|---:|---:|---:|---:|"]
    front += [table_row([name] + figure_cells(rows, "linux", method_id, 1000)) for name, method_id in FRONT_PAGE]
    comparison = ["| platform | method | rate /s | p50 | p99 | p99.9 | CPU per s |",
                  "|---|---|---:|---:|---:|---:|---:|"]
    comparison += [table_row([shown, name, f"{rate:,}"] + figure_cells(rows, platform, method_id, rate))
                   for shown, name, platform, method_id, rate in COMPARISON]
    loops = event_loop_targets(rows) or ["(no event loop was measured in this run)"]
    wine_sleeps = [r for r in pacing_rows(rows) if r["platform"].startswith("windows") and r["id"] in SLEEPERS]
    wine_low_ns = min((r["p50"] for r in wine_sleeps), default=math.nan)
    wine_high_ns = max((r["p99"] for r in wine_sleeps), default=math.nan)
    many = [r for r in rows if r["id"].startswith(MANY) and r["values"]]
    many_low_ns = min((r["p50"] for r in many), default=math.nan)
    many_high_ns = max((r["p50"] for r in many), default=math.nan)
    many_cpu = stat(rows, "linux", many[0]["id"].rsplit("_", 1)[0], 100, "cpu") if many else math.nan
    spin_return_ns = stat(rows, "linux", SPIN, 1000, "p50") - stat(rows, "linux", BARE_SPIN, 1000, "p50")
    call = {name: call_cost.get(shown, math.nan) for name, shown in CALL_NAMES.items()}
    c_ns, aligned_ns = call["pacer_wait/statistics:1_median"], call["pacer_wait_aligned_median"]
    python_ns = call_cost.get(PYTHON_WAIT, math.nan)
    polling_ratio = ratio(stat(rows, "linux", "clock_nanosleep", 1000, "p50"),
                          stat(rows, "linux", "polling", 1000, "p50"))
    return {
        "run": run_text(rows, sample_paths),
        "front page": "\n".join(front),
        "comparison": "\n".join(comparison),
        "stalls": f"In this run `clock_nanosleep`'s own p99 was {ns('clock_nanosleep', 'p99')} at 1,000 ticks per "
                  f"second; the hybrid's p99 was {ns(HYBRID, 'p99')} at {cpu(HYBRID)} of a core, against the "
                  f"oracle's {ns(ORACLE, 'p99')} at {cpu(ORACLE)}.",
        "event loops": "\n".join(loops),
        "loop timers": f"In this run tokio's `interval` was {ns('tokio_interval', 'p50')} late at the median at "
                       f"1,000 ticks per second, and Node's `setInterval` {ns('node_setinterval', 'p99', 100)} at "
                       "p99 at 100 per second.",
        "wine sleep": f"from {format_ns(wine_low_ns)} at the median to {format_ns(wine_high_ns)} at p99",
        "many": f"{len(many) or '–'} at 100 ticks per second each took {format_cpu(many_cpu)} of a core in all, "
                f"with medians from {format_ns(many_low_ns)} to {format_ns(many_high_ns)}.",
        "drift": f"the pacer {ns(SPIN, 'long_drift')}, the polling timer {ns('polling', 'long_drift')}.",
        "spin return": f"The pacer in spin mode returns {format_ns(spin_return_ns)} after an inline spin to the "
                       f"same deadlines would ({ns(SPIN, 'p50')} against {ns(BARE_SPIN, 'p50')} at the median, "
                       "1,000 ticks per second), and the same spin in a function of its own (\"bare spin behind a "
                       f"function call\" in the full table) {ns(CALLED_SPIN, 'p50')}.",
        "call cost": "a pacer wait at its deadline takes "
                     f"{format_ns(call['pacer_wait/statistics:0_median'])} without statistics and "
                     f"{format_ns(c_ns)} with them; aligned to the system clock, {format_ns(aligned_ns)}: the clock "
                     f"check costs {format_ns(aligned_ns - c_ns)} a tick. One counter read takes "
                     f"{format_ns(call['counter_read_median'])}. `Pacer.wait()` from Python takes "
                     f"{format_ns(python_ns)}, {format_ns(python_ns - c_ns)} more than the C call.",
        "wake-up lag": f"is {ns('threaded_wakeup', 'p50')} at the median on Linux, against "
                       f"{ns(BARE_HAND_OFF, 'p50')} for a bare futex hand-off between two threads.",
        "system sleep": "The polling timer's median error is "
                        f"{'–' if math.isnan(polling_ratio) else f'{polling_ratio:,.0f}'} times below "
                        f"`clock_nanosleep`'s median lateness on Linux ({ns('polling', 'p50')} against "
                        f"{ns('clock_nanosleep', 'p50')}).",
    }


def fill_page(path, regions):
    """Rewrites each region of the page with its text; returns the names it has none for."""
    text = pathlib.Path(path).read_text(encoding="utf-8")
    unknown = []

    def fill(match):
        name, old = match.groups()
        if name not in regions:
            unknown.append(name)
            return match.group(0)
        new = regions[name]
        if old.startswith("\n"):
            # A block between blank lines, at the marker's indentation (a table within a list item).
            indent = text[text.rfind("\n", 0, match.start()) + 1:match.start()]
            new = "\n\n" + "\n".join(indent + line for line in new.split("\n")) + "\n\n" + indent
        return f"<!-- bench: {name} -->{new}<!-- end bench -->"

    pathlib.Path(path).write_text(REGION.sub(fill, text), encoding="utf-8")
    return unknown


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--page", action="append", default=[], help="a page whose bench regions to rewrite")
    for name in ("out_md", "distribution_svg", "frontier_svg", "budget_svg", "call_cost_json", "python_call_cost_json"):
        parser.add_argument(name)
    parser.add_argument("--sim-clock", help="the clock-the-host-drives benchmark's output")
    parser.add_argument("samples", nargs="+", help="the pacing benchmarks' CSV files")
    arguments = parser.parse_args()
    rows, machine = load(arguments.samples)
    call_cost = call_costs(arguments.call_cost_json, arguments.python_call_cost_json)
    with open(arguments.out_md, "w") as handle:
        sim_clock = pathlib.Path(arguments.sim_clock).read_text() if arguments.sim_clock else ""
        handle.write(markdown(rows, machine, call_cost, sim_clock))
    distribution_chart(rows, arguments.distribution_svg)
    frontier_chart(rows, arguments.frontier_svg)
    budget_chart(rows, arguments.budget_svg)
    regions = page_regions(rows, call_cost, arguments.samples)
    unknown = [f"{page}: no text for the bench region {name}" for page in arguments.page
               for name in fill_page(page, regions)]
    for problem in unknown:
        print(problem, file=sys.stderr)
    return 1 if unknown else 0


if __name__ == "__main__":
    sys.exit(main())
