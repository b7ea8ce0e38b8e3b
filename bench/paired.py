#!/usr/bin/env python3
"""Runs two commands alternately and reports the median of their run-by-run
time ratios: on a busy machine a pair run back to back sees the same load,
where hyperfine runs all of one command before the other.

  paired.py [--runs N] [--prepare CMD] NAME_A CMD_A NAME_B CMD_B

Prints one JSON line: medians of wall and CPU time of both and the median
of B/A over the pairs. (Peak memory is not taken here: a child forked from
Python reports Python's own size; run.sh asks /usr/bin/time.)
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time


def run(cmd, prepare):
    if prepare:
        subprocess.run(prepare, shell=True, check=True)
    start = time.perf_counter()
    p = subprocess.Popen(cmd, shell=True, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {cmd}")
    return wall, usage.ru_utime + usage.ru_stime


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--prepare", default="")
    ap.add_argument("name_a")
    ap.add_argument("cmd_a")
    ap.add_argument("name_b")
    ap.add_argument("cmd_b")
    a = ap.parse_args()
    run(a.cmd_a, a.prepare)  # warm-up: page cache, libraries
    run(a.cmd_b, a.prepare)
    ta, tb, ca, cb = [], [], [], []
    for i in range(a.runs):
        # Alternate which goes first, so neither always follows the other.
        order = [(a.cmd_a, ta, ca), (a.cmd_b, tb, cb)]
        for cmd, times, cpus in order if i % 2 == 0 else reversed(order):
            wall, cpu = run(cmd, a.prepare)
            times.append(wall)
            cpus.append(cpu)
    ratios = [b / x for x, b in zip(ta, tb)]
    print(json.dumps({
        "a": a.name_a, "b": a.name_b, "runs": a.runs,
        "median_a": statistics.median(ta), "median_b": statistics.median(tb),
        "cpu_a": statistics.median(ca), "cpu_b": statistics.median(cb),
        "ratio_b_over_a": statistics.median(ratios),
        "ratio_min": min(ratios), "ratio_max": max(ratios),
    }))


if __name__ == "__main__":
    main()
