"""Running a program under /usr/bin/time for the benchmark scripts: its wall
time and its peak resident memory."""

import subprocess
import sys
import time


def timed(command):
    """(seconds, peak resident KiB, standard error without time's line); exits on failure."""
    start = time.monotonic()
    run = subprocess.run(["/usr/bin/time", "-f", "%M"] + command, capture_output=True, text=True)
    seconds = time.monotonic() - start
    if run.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({run.returncode}):\n{run.stderr}")
    lines = run.stderr.strip().splitlines()
    return seconds, int(lines[-1]), lines[:-1]
