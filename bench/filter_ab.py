#!/usr/bin/env python3
"""Compares two builds of filter_benchmark on this machine in one run.

Runs the two binaries alternately, A B B A in each round, on the same
benchmarks, and prints per benchmark the median voxels per second of each
build over all its runs and the ratio B / A. Alternating spreads the drift of
a shared machine over both builds, and the mirrored order cancels a steady
trend within a round; the ratio of medians is the figure to
quote, with the spread of the per-round ratios beside it. The last column
compares the processor time of the benchmark's main thread instead of wall
time: on a busy machine it says what the work costs, where waiting for a
core does not count (on one thread it is the whole run; on more it is the
main thread's share, its waits at barriers included).

  /usr/bin/python3 bench/filter_ab.py OLD/bin/filter_benchmark NEW/bin/filter_benchmark \\
      [--rounds 5] [--filter 'fast/'] [--sample data/crossing-tubes.mhd]
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile


def run_once(binary, sample, pattern):
    """Voxels per second of each benchmark: the median of its repetitions."""
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as f:
        out = f.name
    try:
        subprocess.run([binary, sample, f"--benchmark_filter={pattern}",
                        f"--benchmark_out={out}", "--benchmark_out_format=json"],
                       check=True, stdout=subprocess.DEVNULL)
        with open(out, encoding="utf-8") as f:
            report = json.load(f)
    finally:
        os.unlink(out)
    rates = {}
    for b in report["benchmarks"]:
        # Repeated benchmarks report aggregates; single runs report themselves.
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        if b.get("run_type") == "iteration" and b.get("repetitions", 1) > 1:
            continue
        # The counter is a rate over wall time; the same voxels over the
        # main thread's processor time give the other figure.
        rates[b["run_name"]] = (b["voxels/s"], b["voxels/s"] * b["real_time"] / b["cpu_time"])
    return rates


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a", help="filter_benchmark of the baseline build")
    parser.add_argument("b", help="filter_benchmark of the build to compare")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--filter", default="fast/",
                        help="Google Benchmark filter (default: the fast path with pruning)")
    parser.add_argument("--sample", default="data/crossing-tubes.mhd")
    args = parser.parse_args()

    runs = {"a": [], "b": []}
    for r in range(args.rounds):
        for key in ("a", "b", "b", "a"):
            runs[key].append(run_once(getattr(args, key), args.sample, args.filter))
        print(f"round {r + 1} of {args.rounds} done", file=sys.stderr)

    names = sorted(set(runs["a"][0]) & set(runs["b"][0]))
    print(f"| benchmark | A voxels/s (median of {2 * args.rounds}) | B voxels/s | B / A | "
          "per-run-pair B / A, min to max | B / A by processor time |")
    print("|---|---:|---:|---:|---:|---:|")
    for name in names:
        a = [r[name][0] for r in runs["a"]]
        b = [r[name][0] for r in runs["b"]]
        a_cpu = [r[name][1] for r in runs["a"]]
        b_cpu = [r[name][1] for r in runs["b"]]
        rounds = [y / x for x, y in zip(a, b)]
        print(f"| {name} | {statistics.median(a):.4g} | {statistics.median(b):.4g} | "
              f"{statistics.median(b) / statistics.median(a):.3f} | "
              f"{min(rounds):.3f} to {max(rounds):.3f} | "
              f"{statistics.median(b_cpu) / statistics.median(a_cpu):.3f} |")


if __name__ == "__main__":
    main()
