#!/usr/bin/env python3
"""Prints the benchmark table from Google Benchmark JSON, with the performance targets.

Usage: bench_table.py [--load-start "LOADAVG"] [--load-end "LOADAVG"] BENCH.json [MORE.json ...]
Several JSON files (runs of different benchmarks) make one table. The load options take lines of
/proc/loadavg read before and after the runs: the host is shared, and its load explains much of
the spread between runs.
"""
import argparse
import json
import re
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


# What Google Benchmark appends to a name for options set in the code: iterations, repetitions,
# minimum time, wall-clock or manual timing. The table and the targets use the bare name.
OPTION_SUFFIX = re.compile(r"/(iterations:\d+|repeats:\d+|min_time:[\d.]+|real_time|manual_time)")


def load(paths):
    """The first file's context, and median entries by bare benchmark name: {name: entry}.
    A benchmark run without repetitions has a single entry, which stands for its median."""
    context = None
    medians = {}
    singles = {}
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        context = context or data.get("context", {})
        for entry in data["benchmarks"]:
            name = OPTION_SUFFIX.sub("", entry.get("run_name", entry["name"]))
            if entry.get("run_type") == "aggregate":
                if entry.get("aggregate_name") == "median":
                    medians[name] = entry
            else:
                singles[name] = entry
    for name, entry in singles.items():
        medians.setdefault(name, entry)
    return context or {}, medians


def seconds(entry):
    """Time of one iteration (or one frame, where the benchmark reports frame_time) in seconds."""
    if "frame_time" in entry:
        return entry["frame_time"]
    return entry["real_time"] * UNIT[entry["time_unit"]]


def duration(value):
    """Seconds in the largest unit that keeps the figure at 1 or more."""
    for unit in ("s", "ms", "us", "ns"):
        if value >= UNIT[unit] or unit == "ns":
            return f"{value / UNIT[unit]:.3f} {unit}"
    return ""


def describe(entry):
    if "items_per_second" in entry:
        return f"{entry['items_per_second']:,.0f} items/s"
    text = duration(seconds(entry))
    if "peak_rss_mb" in entry:
        text += f", peak RSS {entry['peak_rss_mb']:,.0f} MB"
    return text


def targets(m):
    """(description, measured, limit, ok) for each target whose benchmarks ran."""
    rows = []

    def ratio(a, b, limit):
        if a in m and b in m:
            r = seconds(m[a]) / seconds(m[b])
            rows.append((f"{a} / {b}", f"{r:.2f}", f"<= {limit}", r <= limit))

    def at_most(a, limit_s, label):
        if a in m:
            t = seconds(m[a])
            rows.append((a, duration(t), f"<= {label}", t <= limit_s))

    ratio("Frame/cached/sample", "Frame/floor/sample", 1.5)
    ratio("Frame/cached/distinct", "Frame/floor/distinct", 2.5)
    ratio("Frame/cached/1M", "Frame/floor/1M", 1.0)
    ratio("Frame/cached/10M", "Frame/floor/10M", 1.0)
    at_most("Frame/cached/10M", 33e-3, "33 ms")
    if "ProjectPoints/central" in m:
        rate = m["ProjectPoints/central"]["items_per_second"] / 1e6
        rows.append(("ProjectPoints/central", f"{rate:.0f} points/us", ">= 500", rate >= 500))
    at_most("Startup/distinct", 5e-3, "5 ms")
    at_most("Startup/sample", 3e-3, "3 ms")
    if "Startup/distinct" in m and "GroupLiteral/distinct" in m:
        r = seconds(m["GroupLiteral/distinct"]) / seconds(m["Startup/distinct"])
        rows.append(("GroupLiteral/distinct / Startup/distinct", f"{r:.0f}x", ">= 100x", r >= 100))
    at_most("Startup/10M", 1.5, "1.5 s")
    ratio("Startup/10M", "ReadFile/10M", 20)
    return rows


def load_average(line):
    """The 1-, 5- and 15-minute figures of a /proc/loadavg line."""
    return " ".join(line.split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--load-start", help="/proc/loadavg before the runs")
    parser.add_argument("--load-end", help="/proc/loadavg after the runs")
    parser.add_argument("json", nargs="+")
    args = parser.parse_args()
    context, medians = load(args.json)
    host = f"host: {context.get('num_cpus', '?')} CPUs, {context.get('mhz_per_cpu', '?')} MHz"
    if args.load_start and args.load_end:
        host += (f"; load (1, 5, 15 min) {load_average(args.load_start)} at the start, "
                 f"{load_average(args.load_end)} at the end")
    else:
        figures = " ".join(f"{x:.2f}" for x in context.get("load_avg", []))
        host += f"; load (1, 5, 15 min) {figures or '?'} at the start"
    print(host)
    print()
    print("| Benchmark | Median |")
    print("|---|---|")
    # Sorted, since interleaved repetitions leave the JSON in a different order every run.
    for name, entry in sorted(medians.items()):
        print(f"| {name} | {describe(entry)} |")
    rows = targets(medians)
    if rows:
        print()
        print("| Target | Measured | Limit | Met |")
        print("|---|---|---|---|")
        for what, measured, limit, ok in rows:
            print(f"| {what} | {measured} | {limit} | {'yes' if ok else 'NO'} |")
    return 0 if all(ok for *_, ok in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
