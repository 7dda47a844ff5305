"""voluna.read over every file of pydicom's, nibabel's and ITK's test data
(their Debian packages): a volume or an OSError of one line, never a crash,
and the same under an 8 GiB limit on address space, as a user's ulimit -v
may set it."""

import ast
import os
import resource
import subprocess
import sys
from pathlib import Path

import pytest

# CTest names them (tests/CMakeLists.txt); by hand, Debian's places.
ROOTS = [Path(p) for p in os.environ.get("VOLUNA_CORPORA", os.pathsep.join([
    "/usr/lib/python3/dist-packages/pydicom/data/test_files",
    "/usr/lib/python3/dist-packages/nibabel/tests/data",
    "/usr/share/doc/insighttoolkit5-examples/examples/Data"])).split(os.pathsep)]

# Read in a child interpreter, one file after the other: a crash ends only
# the child, and the last file it named is the culprit.
READER = r"""
import sys, warnings
import voluna
warnings.simplefilter("ignore")
for path in sys.stdin.read().split("\0"):
    if not path:
        continue
    print("FILE\t" + path, flush=True)
    try:
        image = voluna.read(path)
        print("OK\t%s" % (image.array.shape,), flush=True)
    except OSError as error:
        print("REFUSED\t" + repr(str(error)), flush=True)
    except Exception as error:
        print("WRONG\t%s: %r" % (type(error).__name__, str(error)), flush=True)
"""


def corpus():
    files = sorted(str(p) for root in ROOTS if root.is_dir() for p in root.rglob("*") if p.is_file())
    if not files:
        pytest.skip("none of the corpora is installed")
    return files


def limit_address_space():
    eight = 8 << 30
    resource.setrlimit(resource.RLIMIT_AS, (eight, eight))


@pytest.mark.parametrize("limited", [False, True], ids=["unlimited", "8GiB"])
def test_every_file_reads_or_is_refused_in_one_line(limited):
    files = corpus()
    run = subprocess.run([sys.executable, "-c", READER], input="\0".join(files), capture_output=True, text=True,
                         env=dict(os.environ), preexec_fn=limit_address_space if limited else None, timeout=600)
    lines = run.stdout.splitlines()
    named = [line.split("\t", 1)[1] for line in lines if line.startswith("FILE\t")]
    assert run.returncode == 0, "the reader died (%d) on %s" % (run.returncode, named[-1] if named else "?")
    assert named == files
    outcomes = [line for line in lines if not line.startswith("FILE\t")]
    assert len(outcomes) == len(files)
    wrong = [(f, o) for f, o in zip(files, outcomes) if o.startswith("WRONG")]
    assert not wrong
    for f, o in zip(files, outcomes):
        if o.startswith("REFUSED"):
            message = ast.literal_eval(o.split("\t", 1)[1])
            assert message and "\n" not in message, f
    read = sum(o.startswith("OK") for o in outcomes)
    print("%d files: %d read, %d refused" % (len(files), read, len(files) - read))
    assert read >= 40
