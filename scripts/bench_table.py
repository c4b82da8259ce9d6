#!/usr/bin/env python3
"""Prints the benchmark table from Google Benchmark JSON, with the performance targets."""
import json
import sys

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load(path):
    """Median entries by benchmark name: {name: entry}."""
    with open(path) as f:
        data = json.load(f)
    medians = {}
    for entry in data["benchmarks"]:
        if entry.get("aggregate_name", "median") != "median":
            continue
        name = entry.get("run_name", entry["name"])
        medians[name.removesuffix("/real_time")] = entry
    return data.get("context", {}), medians


def seconds(entry):
    """Time of one iteration (or one frame, where the benchmark reports frame_time) in seconds."""
    if "frame_time" in entry:
        return entry["frame_time"]
    return entry["real_time"] * UNIT[entry["time_unit"]]


def describe(entry):
    if "items_per_second" in entry:
        return f"{entry['items_per_second']:,.0f} items/s"
    value = seconds(entry)
    for unit in ("s", "ms", "us", "ns"):
        if value >= UNIT[unit] or unit == "ns":
            return f"{value / UNIT[unit]:.3f} {unit}"
    return ""


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
            rows.append((a, f"{t * 1e3:.3f} ms", f"<= {label}", t <= limit_s))

    ratio("Frame/cached/sample", "Frame/floor/sample", 1.5)
    ratio("Frame/cached/distinct", "Frame/floor/distinct", 2.5)
    if "ProjectPoints/central" in m:
        rate = m["ProjectPoints/central"]["items_per_second"] / 1e6
        rows.append(("ProjectPoints/central", f"{rate:.0f} points/us", ">= 500", rate >= 500))
    at_most("Startup/distinct", 5e-3, "5 ms")
    at_most("Startup/sample", 3e-3, "3 ms")
    if "Startup/distinct" in m and "GroupLiteral/distinct" in m:
        r = seconds(m["GroupLiteral/distinct"]) / seconds(m["Startup/distinct"])
        rows.append(("GroupLiteral/distinct / Startup/distinct", f"{r:.0f}x", ">= 100x", r >= 100))
    return rows


def main():
    context, medians = load(sys.argv[1])
    print(f"host: {context.get('num_cpus', '?')} CPUs, "
          f"{context.get('mhz_per_cpu', '?')} MHz, load {context.get('load_avg', '?')}")
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
