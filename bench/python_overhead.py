#!/usr/bin/env python3
"""What a filter call costs from Python against voluna-filter on the same volume.

Alternates the two, several runs each, on a noisy 128^3 uint8 volume at the
defaults (5, 5, 5), and prints the medians of wall and processor time and
their ratios, all measured in this one run. The command line is timed from start to exit (loading and
writing included); the Python call from entry to return (the array is
already in memory, the result comes back as an array). Both results must be
the same bytes.

    /usr/bin/python3 bench/python_overhead.py [--build build] [--runs 5] [--size 128] [--threads 0]
"""

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent


def noisy_tubes(size: int) -> np.ndarray:
    z, y, x = np.indices((size,) * 3, dtype=np.float32)
    c = (size - 1) / 2
    tubes = (np.hypot(z - c, y - c) < size / 8) | (np.abs((y - c) - (z - c)) < size / 12)
    noisy = np.where(tubes, 200.0, 50.0) + np.random.default_rng(1).normal(0, 25, tubes.shape)
    return np.clip(np.rint(noisy), 0, 255).astype(np.uint8)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--threads", type=int, default=0, help="CPU threads, 0 for every core")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    sys.path.insert(0, str(build / "python"))
    import voluna

    volume = noisy_tubes(args.size)
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        n = args.size
        (folder / "in.mha").write_bytes(
            ("ObjectType = Image\nNDims = 3\nDimSize = %d %d %d\nElementType = MET_UCHAR\n"
             "ElementDataFile = LOCAL\n" % (n, n, n)).encode() + volume.tobytes())
        command = [str(build / "bin" / "voluna-filter"), "--threads", str(args.threads), "-o",
                   str(folder / "out.raw"), str(folder / "in.mha")]
        cli_times, python_times = [], []
        # Processor time too: on a shared machine it moves much less than wall time.
        cli_cpu, python_cpu = [], []
        for run in range(args.runs):
            # Alternate which goes first, so drift on a shared machine hits both.
            order = ("cli", "python") if run % 2 == 0 else ("python", "cli")
            for which in order:
                who = resource.RUSAGE_CHILDREN if which == "cli" else resource.RUSAGE_SELF
                before = resource.getrusage(who)
                start = time.perf_counter()
                if which == "cli":
                    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                else:
                    result = voluna.filter(volume, threads=args.threads)
                wall = time.perf_counter() - start
                after = resource.getrusage(who)
                cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
                (cli_times if which == "cli" else python_times).append(wall)
                (cli_cpu if which == "cli" else python_cpu).append(cpu)
            print("run %d: voluna-filter %.3f s (processor %.3f s), voluna.filter %.3f s "
                  "(processor %.3f s)" % (run + 1, cli_times[-1], cli_cpu[-1], python_times[-1],
                                          python_cpu[-1]), file=sys.stderr, flush=True)
        same = np.array_equal(np.fromfile(folder / "out.raw", np.uint8).reshape(volume.shape), result)
    cli, python = statistics.median(cli_times), statistics.median(python_times)
    # Each pair ran back to back, so its ratio is the least touched by drift.
    pairs = statistics.median(p / c for p, c in zip(python_times, cli_times))
    print("%d^3 uint8 noisy tubes, defaults, %d alternating runs, %d CPUs: median voluna-filter "
          "%.3f s, median voluna.filter %.3f s, ratio of medians Python / command line %.4f, "
          "median of pairwise ratios %.4f; same bytes: %s"
          % (n, args.runs, os.cpu_count(), cli, python, python / cli, pairs, same))
    print("processor time: median voluna-filter %.3f s, median voluna.filter %.3f s, ratio %.4f"
          % (statistics.median(cli_cpu), statistics.median(python_cpu),
             statistics.median(python_cpu) / statistics.median(cli_cpu)))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
