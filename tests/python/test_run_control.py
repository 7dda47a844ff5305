"""The long call: progress from the calling thread, the GIL free for other
threads, and Ctrl-C raising KeyboardInterrupt in a real interpreter."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import voluna
from conftest import structured_volume


def test_progress_is_monotone_per_stage_and_ends_at_one():
    calls = []
    caller = threading.get_ident()

    def record(stage, fraction):
        assert threading.get_ident() == caller
        calls.append((stage, fraction))

    volume = structured_volume((24, 24, 24))
    result = voluna.filter(volume, angle=10, progress=record)
    np.testing.assert_array_equal(result, voluna.filter(volume, angle=10))
    stages = [stage for stage, _ in calls]
    assert stages == sorted(stages, key=["vectorfield", "filtering"].index)
    assert set(stages) == {"vectorfield", "filtering"}
    for stage in ("vectorfield", "filtering"):
        fractions = [f for s, f in calls if s == stage]
        assert fractions == sorted(fractions) and fractions[-1] == 1.0
        assert all(0.0 < f <= 1.0 for f in fractions)
    assert calls[-1] == ("filtering", 1.0)

    field_calls = []
    voluna.directions(volume, angle=10, progress=lambda s, f: field_calls.append((s, f)))
    assert field_calls and field_calls[-1] == ("vectorfield", 1.0)
    assert {s for s, _ in field_calls} == {"vectorfield"}


@pytest.mark.parametrize("with_tqdm", [True, False])
def test_progress_true_draws_on_standard_error(capfd, monkeypatch, with_tqdm):
    if with_tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # import fails as if not installed
    voluna.filter(structured_volume((6, 6, 6)), angle=30, progress=True)
    drawn = capfd.readouterr().err
    assert "Calculate vectorfield" in drawn and "Filtering data" in drawn
    # tqdm may redraw a finished bar; the plain line says 100% once per stage.
    assert drawn.count("100%") >= 2 if with_tqdm else drawn.count("100%") == 2
    assert ("|" in drawn) == with_tqdm


def test_an_exception_in_the_callback_stops_the_run_and_propagates():
    calls = []

    def fail(stage, fraction):
        calls.append(stage)
        raise ZeroDivisionError("stop here")

    with pytest.raises(ZeroDivisionError, match="stop here"):
        voluna.filter(structured_volume((40, 40, 40)), angle=3, progress=fail)
    assert calls == ["vectorfield"]


def test_other_python_threads_run_while_the_filter_does():
    # A Python thread that needs the GIL for a fixed amount of work: with the
    # GIL held by the filter it could not finish before the call returns.
    go, finished = threading.Event(), threading.Event()

    def python_work():
        go.wait()
        total = 0
        for i in range(1_000_000):
            total += i
        finished.set()

    volume = structured_volume((48, 48, 48))
    worker = threading.Thread(target=python_work)
    worker.start()
    go.set()
    voluna.filter(volume, angle=5, threads=1)
    done_during_the_call = finished.is_set()
    worker.join()
    assert done_during_the_call


def test_a_filter_call_from_another_thread_works():
    volume = structured_volume((8, 8, 8))
    results = []
    thread = threading.Thread(target=lambda: results.append(voluna.filter(volume, angle=30)))
    thread.start()
    thread.join()
    np.testing.assert_array_equal(results[0], voluna.filter(volume, angle=30))


CHILD = textwrap.dedent("""
    import sys, time
    import numpy as np
    import voluna
    volume = np.random.default_rng(0).integers(0, 256, (96, 96, 96), dtype=np.uint8)
    result = None
    print("started", flush=True)
    try:
        result = voluna.filter(volume, angle=1)
    except KeyboardInterrupt:
        print("interrupted", result is None, flush=True)
        sys.exit(0)
    print("finished", flush=True)
""")


def test_sigint_raises_keyboard_interrupt_in_a_real_interpreter():
    # The run asked for takes many minutes on any machine; it must end soon
    # after the signal, as a KeyboardInterrupt, with nothing returned.
    child = subprocess.Popen([sys.executable, "-c", CHILD], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ))
    try:
        assert child.stdout.readline().strip() == "started"
        time.sleep(0.5)  # most likely inside the filter by now; before it is fine too
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    # The filter's stage lines go to standard output too.
    assert out.splitlines()[-1] == "interrupted True"
    assert child.returncode == 0
    # Generous for a loaded machine; a run that ignored the signal would take many minutes.
    assert waited < 30, waited
