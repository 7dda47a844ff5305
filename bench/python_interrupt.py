#!/usr/bin/env python3
"""How long Ctrl-C takes to stop a running voluna.filter call.

Starts a child interpreter on a filter run of many minutes, sends it SIGINT
once the run is under way, and measures from the signal to the child's
`except KeyboardInterrupt` (both read the system's monotonic clock). Prints
the median and the largest delay of several tries, measured in this one run.

    /usr/bin/python3 bench/python_interrupt.py [--build build] [--tries 5]
"""

import argparse
import os
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

CHILD = """
import time
import numpy as np
import voluna
volume = np.random.default_rng(0).integers(0, 256, (96, 96, 96), dtype=np.uint8)
print("ready", flush=True)
try:
    voluna.filter(volume, angle=1, progress=lambda stage, fraction: None)
except KeyboardInterrupt:
    print("caught %.6f" % time.monotonic(), flush=True)
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--tries", type=int, default=5)
    args = parser.parse_args()
    env = dict(os.environ, PYTHONPATH=str(Path(args.build).resolve() / "python"))
    delays = []
    for _ in range(args.tries):
        child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True,
                                 env=env)
        assert child.stdout.readline().strip() == "ready"
        time.sleep(2.0)  # well inside the filter run
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
        caught = [line for line in out.splitlines() if line.startswith("caught ")]
        if not caught:
            print("the child did not raise KeyboardInterrupt:\n" + out, file=sys.stderr)
            return 1
        delays.append(float(caught[0].split()[1]) - sent)
    print("SIGINT to KeyboardInterrupt over %d tries: median %.3f s, largest %.3f s"
          % (len(delays), statistics.median(delays), max(delays)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
