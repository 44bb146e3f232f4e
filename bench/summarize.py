#!/usr/bin/env python3
"""Turns the benchmark results and two callgrind profiles into the figures
table of BENCHMARKS.md, each beside its target.

The program's own instruction count is what run() executes minus what the
stand-in Win32 functions it calls execute on its behalf (the simulated device
runs inside them): the call graph says which is which, and the stand-in's entry
points are the C symbols that libwinstub.a defines.
"""
import argparse
import collections
import datetime
import json
import os
import re
import statistics
import subprocess
import sys

BUS_SHARE_TARGET = 0.01  # of the bus-limited time
AIM_MS = 10.0
WINE_RATIO_TARGET = 1.10


def read_callgrind(path):
    names = {}
    own = collections.Counter()
    calls = collections.Counter()
    fn = callee = None
    call_cost_next = False

    def resolve(field):
        m = re.match(r"\((\d+)\)(?: (.*))?$", field.strip())
        if not m:
            return field.strip()
        if m.group(2) is not None:
            names[m.group(1)] = m.group(2)
        return names[m.group(1)]

    with open(path) as profile:
        for line in profile:
            if line.startswith("fn="):
                fn = resolve(line[3:])
            elif line.startswith("cfn="):
                callee = resolve(line[4:])
            elif line.startswith("calls="):
                call_cost_next = True
            elif line[:1].isdigit() or line[:1] in ("+", "-", "*"):
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if call_cost_next:
                    calls[(fn, callee)] += cost
                    call_cost_next = False
                else:
                    own[fn] += cost
    return own, calls


def inclusive(own, calls, fn):
    return own[fn] + sum(cost for (caller, _), cost in calls.items() if caller == fn)


def find_fn(own, calls, prefix):
    for fn in list(own) + [callee for _, callee in calls]:
        if fn and fn.startswith(prefix):
            return fn
    sys.exit(f"summarize: no function {prefix}... in the profile")


def stand_in_entry_points(library):
    symbols = subprocess.run(["nm", "-C", "--defined-only", library], check=True,
                             capture_output=True, text=True).stdout
    return {parts[2] for parts in (line.split(None, 2) for line in symbols.splitlines())
            if len(parts) == 3 and parts[1] == "T" and "(" not in parts[2]}


def split_program(profile, entry_points):
    own, calls = read_callgrind(profile)
    root = find_fn(own, calls, "run()")
    # Everything run() reaches without entering the stand-in is the program's
    # (with the C and C++ runtime functions it calls itself).
    program = {root}
    todo = [root]
    while todo:
        caller = todo.pop()
        for (c, callee), _ in calls.items():
            if c == caller and callee not in entry_points and callee not in program:
                program.add(callee)
                todo.append(callee)
    platform = sum(cost for (c, callee), cost in calls.items()
                   if c in program and callee in entry_points)
    total = inclusive(own, calls, root)
    checksum = inclusive(own, calls, find_fn(own, calls, "pagechecksum("))
    return total, total - platform, platform, checksum


def stand_in_alone(profile):
    own, calls = read_callgrind(profile)
    return inclusive(own, calls, find_fn(own, calls, "bench::sendUpdate("))


def aggregate(results, name, statistic):
    for b in results["benchmarks"]:
        if b["name"] in (f"{name}_{statistic}", name):
            return b
    sys.exit(f"summarize: no {statistic} for {name}")


def cpu_ms(results, name, statistic="median"):
    b = aggregate(results, name, statistic)
    return b["cpu_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]


def cpu(results, name, unit):
    """The median CPU time, with the least repetition beside it."""
    scale = {"µs": 1e3, "ms": 1.0}[unit]
    return (f"{cpu_ms(results, name) * scale:.2f} {unit} "
            f"(least {cpu_ms(results, name, 'min') * scale:.2f})")


def machine():
    """Where and when the figures were measured."""
    cpu = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory_kb = int(next(line for line in f if line.startswith("MemTotal")).split()[1])
    load = os.getloadavg()[0]
    return (f"Measured {datetime.date.today().isoformat()} on {cpu}, {os.cpu_count()} cores, "
            f"{memory_kb / 2**20:.0f} GiB of memory; load average {load:.2f} at the end.")


def main():
    args = argparse.ArgumentParser()
    args.add_argument("--json", required=True)
    args.add_argument("--program-profile", required=True)
    args.add_argument("--stand-in-profile", required=True)
    args.add_argument("--winstub", required=True)
    args.add_argument("--wine", action="append", default=[],
                      help="the output of one Wine measurement run; once for each run")
    a = args.parse_args()

    with open(a.json) as f:
        results = json.load(f)
    run_ms = cpu_ms(results, "BM_WholeRun")
    bare_run_ms = cpu_ms(results, "BM_StandInRun")
    bus = aggregate(results, "BM_BusLimitedRun", "median")
    simulated_ms, floor_ms = int(bus["simulated_ms"]), int(bus["floor_ms"])
    pages = int(bus["pages"])
    budget_ms = BUS_SHARE_TARGET * simulated_ms

    entry_points = stand_in_entry_points(a.winstub)
    total, program, platform, checksum = split_program(a.program_profile, entry_points)
    bare = stand_in_alone(a.stand_in_profile)

    def verdict(ok):
        return "met" if ok else "**missed**"

    rows = [
        ("`pagechecksum`, one page", cpu(results, "BM_PageChecksum", "µs"), "—"),
        ("one page sent and confirmed: the program on the stand-in, zero-latency device",
         cpu(results, "BM_Flash2kPage", "µs"), "—"),
        ("the same page's traffic, stand-in alone", cpu(results, "BM_StandInPage", "µs"), "—"),
        (f"whole run, {pages} pages and the restart: the program on the stand-in, zero-latency "
         "device", cpu(results, "BM_WholeRun", "ms"),
         f"< {budget_ms:.0f} ms (1% of the bus-limited time), aim < {AIM_MS:.0f} ms: "
         f"{verdict(run_ms < budget_ms)}"),
        ("the same traffic, stand-in alone", cpu(results, "BM_StandInRun", "ms"), "—"),
        ("the program's own share of a whole run (difference of the medians)",
         f"{run_ms - bare_run_ms:.2f} ms ({(run_ms - bare_run_ms) / simulated_ms:.3%} of the "
         "bus-limited time)", "—"),
        ("instructions under `run()`, whole run (callgrind)", f"{total:,}", "—"),
        ("… executed by the program itself", f"{program:,} ({program // pages:,} per page)",
         "—"),
        ("… of which `pagechecksum`", f"{checksum:,}", "—"),
        ("… executed by the stand-in and the simulated device", f"{platform:,}", "—"),
        ("instructions of the same traffic, stand-in alone", f"{bare:,}", "—"),
        ("bus-limited device: simulated time of a whole update", f"{simulated_ms} ms",
         f"= floor {floor_ms} ms: {verdict(simulated_ms == floor_ms)}"),
    ]
    if a.wine:
        runs = []
        for path in a.wine:
            with open(path) as f:
                runs.append({k: float(v) for k, v in
                             (line.strip().split("=", 1) for line in f if "=" in line)})

        def over_runs(key):
            values = [run[key] for run in runs]
            return statistics.median(values), min(values), max(values)

        rounds = int(runs[0]["rounds"])
        ratio, ratio_low, ratio_high = over_runs("ratio")
        rows.append((f"Wine: full update / bare loop on the same pipe (wall, from the server's "
                     f"view of each session): median over {len(runs)} runs of each run's median "
                     f"of {rounds} rounds, and the runs' range",
                     f"{over_runs('update_s')[0]:.3f} s / {over_runs('bare_s')[0]:.3f} s: ratio "
                     f"{ratio:.3f} (runs {ratio_low:.3f} to {ratio_high:.3f})",
                     f"≤ {WINE_RATIO_TARGET:.2f}: {verdict(ratio <= WINE_RATIO_TARGET)}"))
        least = over_runs("ratio_least")
        rows.append(("Wine: the least session of each kind, ratio (median over the runs, and "
                     "their range)", f"{least[0]:.3f} ({least[1]:.3f} to {least[2]:.3f})",
                     f"≤ {WINE_RATIO_TARGET:.2f}: {verdict(least[0] <= WINE_RATIO_TARGET)}"))
        rows.append(("Wine: whole processes, Wine's start included (median over the runs)",
                     f"{over_runs('update_process_s')[0]:.3f} s / "
                     f"{over_runs('bare_process_s')[0]:.3f} s", "—"))
        if "update_cpu_s" in runs[0]:
            cpu = over_runs("update_cpu_s")
            rows.append(("Wine: CPU time of the update's process, user and system, Wine's start "
                         "included (median over the runs, and their range) / the bare loop's",
                         f"{cpu[0]:.3f} s ({cpu[1]:.3f} to {cpu[2]:.3f}) / "
                         f"{over_runs('bare_cpu_s')[0]:.3f} s", "—"))

    print(machine())
    print()
    print("| figure | measured | target |")
    print("|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
