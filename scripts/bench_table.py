#!/usr/bin/env python3
"""Prints one markdown table of every benchmark figure beside its goal.

Usage: bench_table.py DIR
DIR holds NAME.json (Google Benchmark --benchmark_out_format=json) and bench_link.txt
(bench_link's own output). A figure that was not run (filtered out, program missing) is
left out; a program that failed shows as such.
"""
import datetime
import json
import os
import platform
import re
import sys

# (program, benchmark, label, what to read, goal in µs or None)
# what: "time" is the benchmark's real time; anything else names a counter in µs.
FIGURES = [
    ("bench_snapshot", "BM_memcpy_baseline", "snapshot: memcpy of the garden's game bytes (baseline)", "time", None),
    ("bench_snapshot", "BM_full_tick", "snapshot: full tick (every Chao's timer moved)", "time", 100),
    ("bench_snapshot", "BM_full_tick_cold", "snapshot: full tick, first of a session", "time", 100),
    ("bench_snapshot", "BM_delta_tick_one_slot", "snapshot: delta tick, one changed slot", "time", None),
    ("bench_snapshot", "BM_heartbeat_tick", "snapshot: heartbeat tick", "time", None),
    ("bench_snapshot", "BM_quiet_tick", "snapshot: tick with nothing due", "time", None),
    ("bench_frame", "BM_plain_frame", "OnFrame: plain (non-scan) frame", "time", 2),
    ("bench_frame", "BM_scan_tick_full", "OnFrame: scan tick, full upload", "time", 150),
    ("bench_frame", "BM_scan_tick_delta", "OnFrame: scan tick, delta", "time", 150),
    ("bench_frame", "BM_hour_server_unreachable", "OnFrame: worst frame of an hour, server unreachable (wall)",
     "worst_wall_us", 1000),
    ("bench_frame", "BM_hour_server_unreachable", "OnFrame: worst frame of an hour, server unreachable (thread CPU)",
     "worst_cpu_us", 1000),
    ("bench_frame", "BM_hour_server_stalls_10s", "OnFrame: worst frame of an hour, server stalls 10 s (wall)",
     "worst_wall_us", 1000),
    ("bench_frame", "BM_hour_server_stalls_10s", "OnFrame: worst frame of an hour, server stalls 10 s (thread CPU)",
     "worst_cpu_us", 1000),
]

TO_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}

LINK_LINE = re.compile(
    r"^(?P<name>\S+)\s+(?P<bytes>\d+) bytes\s+enqueue-to-accepted median\s+(?P<median>[\d.]+) us\s+"
    r"p99\s+(?P<p99>[\d.]+) us\s+(?P<rate>[\d.]+) snapshots/s\s+transport alone median\s+"
    r"(?P<direct>[\d.]+) us \((?P<share>\d+)% of it\)")


def fmt_us(us):
    if us >= 1000:
        return f"{us / 1000:.2f} ms"
    if us >= 100:
        return f"{us:.0f} µs"
    if us >= 1:
        return f"{us:.2f} µs"
    return f"{us * 1000:.0f} ns"


def goal_text(goal):
    if goal is None:
        return "—"
    return f"< {goal // 1000} ms" if goal >= 1000 else f"< {goal} µs"


def load_runs(path):
    """benchmark name -> its entry; with repetitions, the median aggregate stands for the name."""
    with open(path) as f:
        doc = json.load(f)
    runs = {}
    for b in doc.get("benchmarks", []):
        # "BM_x/iterations:2000" and the like: the figures are named by the function alone.
        base = b.get("run_name", b["name"]).split("/")[0]
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                runs[base] = b
        elif base not in runs or runs[base].get("run_type") != "aggregate":
            runs[base] = b
    return doc.get("context", {}), runs


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    out = sys.argv[1]
    rows = []  # (label, measured, goal, verdict)
    context = {}
    programs = {}
    for name in ("bench_snapshot", "bench_frame"):
        path = os.path.join(out, name + ".json")
        if os.path.exists(path):
            try:
                context, programs[name] = load_runs(path)
            except (OSError, ValueError, KeyError) as e:
                rows.append((f"{name}: output unreadable ({e})", "—", "—", "—"))
    known = set()
    for prog, bench, label, what, goal in FIGURES:
        known.add((prog, bench))
        run = programs.get(prog, {}).get(bench)
        if run is None:
            continue
        if run.get("error_occurred"):
            rows.append((label, "error: " + run.get("error_message", "?"), goal_text(goal), "FAILED"))
            continue
        if what == "time":
            us = run["real_time"] * TO_US[run.get("time_unit", "ns")]
        elif what in run:
            us = float(run[what])
        else:
            rows.append((label, f"no {what} counter", goal_text(goal), "—"))
            continue
        if "payload_bytes" in run and run["payload_bytes"] > 0:
            label += f", {run['payload_bytes'] / 1000:.1f} KB document"
        verdict = "—" if goal is None else ("met" if us < goal else "MISSED")
        rows.append((label, fmt_us(us), goal_text(goal), verdict))
    # Benchmarks added later still show, without a goal.
    for prog, runs in programs.items():
        for bench, run in runs.items():
            if (prog, bench) not in known and not run.get("error_occurred"):
                us = run["real_time"] * TO_US[run.get("time_unit", "ns")]
                rows.append((f"{prog}: {bench}", fmt_us(us), "—", "—"))

    rounds = None
    link = os.path.join(out, "bench_link.txt")
    if os.path.exists(link):
        with open(link, errors="replace") as f:
            for line in f:
                m = re.match(r"^(\d+) rounds each", line)
                if m:
                    rounds = int(m.group(1))
                m = LINK_LINE.match(line)
                if not m:
                    continue
                n, kb = m.group("name"), int(m.group("bytes")) / 1000
                rows.append((f"link: {n} snapshot ({kb:.1f} KB) uploads per second",
                             f"{float(m.group('rate')):.0f} /s", "—", "measured"))
                rows.append((f"link: {n} snapshot enqueue-to-accepted, median / p99",
                             f"{fmt_us(float(m.group('median')))} / {fmt_us(float(m.group('p99')))}", "—",
                             "measured"))
                rows.append((f"link: {n} snapshot, transport's own share (median)",
                             f"{fmt_us(float(m.group('direct')))} ({m.group('share')} %)", "—", "measured"))
    for name in ("bench_snapshot", "bench_frame", "bench_link"):
        if os.path.exists(os.path.join(out, name + ".failed")):
            rows.append((f"{name}: the program failed (see its output above)", "—", "—", "FAILED"))

    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    cores = os.cpu_count() or context.get("num_cpus", "?")
    mhz = context.get("mhz_per_cpu")
    print(f"Benchmarks, {now}")
    print(f"Machine: {cpu_model()}, {cores} cores" + (f", {mhz} MHz" if mhz else "") +
          f", {platform.system()} {platform.release()}" +
          (f", load average {' '.join(f'{x:.2f}' for x in context['load_avg'])}" if context.get("load_avg") else ""))
    if rounds:
        print(f"Link figures: {rounds} rounds each against the reference server on loopback.")
    print()
    print("| Figure | Measured | Goal | Verdict |")
    print("|---|---:|---:|---|")
    for label, measured, goal, verdict in rows:
        print(f"| {label} | {measured} | {goal} | {verdict} |")
    if not rows:
        print("| (no figures: every benchmark was filtered out or failed) | — | — | — |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
