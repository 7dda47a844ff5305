#!/usr/bin/env python3
"""A dask cluster's brick-by-brick run against one whole-array call.

Filters a noisy 128^3 uint8 volume at the defaults once as a numpy array
(every core) and once as a dask array of 64^3 chunks on a LocalCluster of two
single-threaded worker processes (one filter thread per brick), alternating,
and prints the medians and their ratio, measured in this one run. The bytes
must agree.

    /usr/bin/python3 bench/python_dask.py [--build build] [--runs 3] [--size 128] [--chunk 64]
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(Path(__file__).resolve().parent))
from python_overhead import noisy_tubes  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=128)
    parser.add_argument("--chunk", type=int, default=64)
    args = parser.parse_args()
    sys.path.insert(0, str(Path(args.build).resolve() / "python"))
    import dask.array as da
    import distributed
    import voluna

    volume = noisy_tubes(args.size)
    whole_times, dask_times = [], []
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        lazy_input = client.persist(da.from_array(volume, chunks=args.chunk))
        distributed.wait(lazy_input)
        for run in range(args.runs):
            for which in (("whole", "dask") if run % 2 == 0 else ("dask", "whole")):
                start = time.perf_counter()
                if which == "whole":
                    whole = voluna.filter(volume)
                    whole_times.append(time.perf_counter() - start)
                else:
                    # A graph of its own each time: the same keys would find the
                    # last run's result still held by the cluster.
                    fresh = lazy_input.map_blocks(np.copy, name="input-%d" % run)
                    bricked = client.compute(voluna.filter(fresh, threads=1)).result()
                    dask_times.append(time.perf_counter() - start)
            print("run %d: whole %.3f s, dask %.3f s" % (run + 1, whole_times[-1], dask_times[-1]),
                  file=sys.stderr, flush=True)
    same = np.array_equal(whole, bricked)
    w, d = statistics.median(whole_times), statistics.median(dask_times)
    print("%d^3 in %d^3 chunks, 2 worker processes: median whole %.3f s, median dask %.3f s, "
          "ratio dask / whole %.4f; same bytes: %s" % (args.size, args.chunk, w, d, d / w, same))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
