#!/usr/bin/env python3
"""Turns the pacing benchmark's samples and the call-cost benchmark's JSON into
a markdown table and an SVG chart of the error distributions (log scale, one
row per method).

usage: report.py OUT.md OUT.svg CALL_COST.json SAMPLES.csv [SAMPLES.csv ...]
"""
import collections
import csv
import json
import math
import sys

FLOORS = {"linux": "bare clock_gettime spin", "windows (wine64)": "bare QueryPerformanceCounter spin",
          "windows i686 (wine under qemu)": "bare QueryPerformanceCounter spin"}
# Samples of a platform's fixed costs, not of a pacing method.
FIXED_COSTS = ("read", "start")
SLEEPERS = {"clock_nanosleep absolute", "std::this_thread::sleep_until", "high-resolution waitable timer",
            "Sleep(1) under timeBeginPeriod(1)", "varnex pacer sleep"}
# The pacer keeps an absolute schedule: its floor is a spin to the same deadlines.
ABSOLUTE_FLOOR = "bare spin to absolute deadlines"


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, int(fraction * (len(sorted_values) - 1) + 0.5))
    return sorted_values[index]


def median(values):
    return percentile(sorted(values), 0.5) if values else float("nan")


def load(paths):
    samples = collections.defaultdict(list)
    order = []
    for path in paths:
        with open(path, newline="") as handle:
            for row in csv.DictReader(handle):
                key = (row["platform"], row["method"], int(row["rate"]))
                if key not in order:
                    order.append(key)
                samples[key + (row["kind"],)].append(float(row["value_ns"]))
    rows = []
    costs = collections.defaultdict(dict)
    for key in order:
        fixed_costs = [kind for kind in FIXED_COSTS if samples.get(key + (kind,))]
        for kind in fixed_costs:
            costs[key[0]][kind] = median(samples[key + (kind,)])
        if fixed_costs:
            continue
        kind = "lag" if samples.get(key + ("lag",)) else "error"
        # Magnitude: a spin ends a quantum early or late, a sleeper only late.
        values = sorted(abs(v) for v in samples[key + (kind,)])
        rows.append({
            "platform": key[0], "method": key[1], "rate": key[2], "kind": kind, "values": values,
            "p50": percentile(values, 0.5), "p99": percentile(values, 0.99), "max": values[-1],
            "drift": median(samples.get(key + ("drift",), [])),
            "long_drift": median(samples.get(key + ("long drift",), [])),
            "cpu": median(samples.get(key + ("cpu",), [])),
        })
    return rows, costs


def format_ns(value):
    if math.isnan(value):
        return "–"
    magnitude = abs(value)
    if magnitude >= 1e6:
        return f"{value / 1e6:.2f} ms"
    if magnitude >= 1e3:
        return f"{value / 1e3:.1f} µs"
    return f"{value:.0f} ns"


def find(rows, platform, method, rate):
    for row in rows:
        if (row["platform"], row["method"], row["rate"]) == (platform, method, rate):
            return row
    return None


def ratio(numerator, denominator):
    if not denominator or math.isnan(denominator) or denominator == 0:
        return "–"
    return f"{numerator / denominator:,.2f}×" if numerator / denominator < 100 else f"{numerator / denominator:,.0f}×"


def markdown(rows, costs, call_cost):
    lines = ["What each platform costs (medians): one counter read, the floor under every spin, "
             "and the start of a program that does nothing.", "",
             "| platform | one counter read | program start |", "|---|---:|---:|"]
    lines += [f"| {platform} | {format_ns(cost.get('read', math.nan))} | "
              f"{format_ns(cost.get('start', math.nan))} |" for platform, cost in costs.items()]
    lines += ["",
              "| platform | method | rate /s | p50 | p99 | max | drift | CPU per s | p50 vs floor | sleepers' p50 vs this |",
              "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        if row["kind"] == "lag":
            continue
        floor_method = ABSOLUTE_FLOOR if row["method"].startswith("varnex pacer") else FLOORS.get(row["platform"], "")
        floor = find(rows, row["platform"], floor_method, row["rate"])
        sleepers = [r for r in rows if r["platform"] == row["platform"] and r["rate"] == row["rate"]
                    and r["method"] in SLEEPERS]
        versus_sleepers = " / ".join(ratio(s["p50"], row["p50"]) for s in sleepers) if row["method"] not in SLEEPERS else "–"
        lines.append(f"| {row['platform']} | {row['method']} | {row['rate']:,} | {format_ns(row['p50'])} | "
                     f"{format_ns(row['p99'])} | {format_ns(row['max'])} | {format_ns(row['drift'])} | "
                     f"{row['cpu']:.2f} | {ratio(row['p50'], floor['p50']) if floor else '–'} | {versus_sleepers} |")
    long_runs = [row for row in rows if not math.isnan(row["long_drift"])]
    if long_runs:
        lines += ["", "Drift over one long run (the last tick's reading minus the first's, against the nominal "
                  "periods between them):", "", "| platform | method | rate /s | drift |", "|---|---|---:|---:|"]
        lines += [f"| {row['platform']} | {row['method']} | {row['rate']:,} | {format_ns(row['long_drift'])} |"
                  for row in long_runs]
    lines += ["", "Threaded timer: lag from the worker's signal to the waiter's return, against a bare hand-off "
              "between two threads by the same mechanism.", "",
              "| platform | method | rate /s | p50 | p99 | max | CPU per s | p50 vs bare |",
              "|---|---|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        if row["kind"] != "lag":
            continue
        bare = find(rows, row["platform"], "bare hand-off", row["rate"])
        lines.append(f"| {row['platform']} | {row['method']} | {row['rate']:,} | {format_ns(row['p50'])} | "
                     f"{format_ns(row['p99'])} | {format_ns(row['max'])} | {row['cpu']:.2f} | "
                     f"{ratio(row['p50'], bare['p50']) if bare else '–'} |")
    if call_cost:
        lines += ["", "Per call (Linux, Google Benchmark, median of repetitions):", "",
                  "| call | time |", "|---|---:|"]
        for name, nanoseconds in call_cost.items():
            lines.append(f"| {name} | {nanoseconds:.1f} ns |")
    return "\n".join(lines) + "\n"


def svg(rows):
    width, left, right, row_height, top = 1120, 500, 30, 26, 40
    low, high = 1.0, 1e7
    plotted = [r for r in rows]
    height = top + row_height * len(plotted) + 40

    def x(value):
        value = min(max(value, low), high)
        return left + (math.log10(value) - math.log10(low)) / (math.log10(high) - math.log10(low)) * (width - left - right)

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'font-family="sans-serif" font-size="12">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="10" y="20" font-size="14">Per-period error and wake-up lag (log scale): '
             f'box p25–p75, line p1–p99, mark p50, dot max</text>']
    for decade in range(0, 8):
        value = 10 ** decade
        label = format_ns(value).replace(".00", "").replace(".0", "")
        parts.append(f'<line x1="{x(value):.1f}" y1="{top - 6}" x2="{x(value):.1f}" '
                     f'y2="{top + row_height * len(plotted)}" stroke="#ddd"/>')
        parts.append(f'<text x="{x(value):.1f}" y="{top + row_height * len(plotted) + 16}" '
                     f'text-anchor="middle">{label}</text>')
    for index, row in enumerate(plotted):
        y = top + row_height * index + row_height / 2
        values = row["values"]
        colour = "#c0392b" if row["method"] in SLEEPERS else ("#2c7fb8" if "varnex" in row["method"] else "#7f8c8d")
        label = f"{row['platform']}: {row['method']} ({row['kind']}, {row['rate']:,}/s)"
        parts.append(f'<text x="{left - 8}" y="{y + 4:.1f}" text-anchor="end">{label}</text>')
        p1, p25, p50, p75, p99 = (percentile(values, f) for f in (0.01, 0.25, 0.5, 0.75, 0.99))
        parts.append(f'<line x1="{x(p1):.1f}" y1="{y:.1f}" x2="{x(p99):.1f}" y2="{y:.1f}" stroke="{colour}"/>')
        parts.append(f'<rect x="{x(p25):.1f}" y="{y - 7:.1f}" width="{max(x(p75) - x(p25), 1.5):.1f}" '
                     f'height="14" fill="{colour}" fill-opacity="0.35" stroke="{colour}"/>')
        parts.append(f'<line x1="{x(p50):.1f}" y1="{y - 9:.1f}" x2="{x(p50):.1f}" y2="{y + 9:.1f}" '
                     f'stroke="{colour}" stroke-width="2.5"/>')
        parts.append(f'<circle cx="{x(row["max"]):.1f}" cy="{y:.1f}" r="3" fill="{colour}"/>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def call_costs(path):
    try:
        with open(path) as handle:
            report = json.load(handle)
    except (OSError, ValueError):
        return {}
    names = {"counter_read_median": "one counter read (clock_gettime)",
             "wait_at_first_reading_median": "WaitForRTTimerLV ending at its first reading",
             "pacer_wait/statistics:0_median": "pacer wait at its deadline, statistics off",
             "pacer_wait/statistics:1_median": "pacer wait at its deadline, statistics on"}
    return {names[b["name"]]: b["real_time"] for b in report.get("benchmarks", []) if b["name"] in names}


def main():
    if len(sys.argv) < 5:
        print(__doc__)
        return 2
    out_md, out_svg, call_cost_json = sys.argv[1:4]
    rows, costs = load(sys.argv[4:])
    with open(out_md, "w") as handle:
        handle.write(markdown(rows, costs, call_costs(call_cost_json)))
    with open(out_svg, "w") as handle:
        handle.write(svg(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
