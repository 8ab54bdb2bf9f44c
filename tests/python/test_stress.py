"""A short run of the concurrency stress (tests/stress/stress.py; `make stress` runs it
longer), and Ctrl-C arriving at random moments of a series of calls."""

import os
import signal
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

STRESS = Path(__file__).resolve().parents[1] / "stress" / "stress.py"


def test_short_stress_run():
    seconds = os.environ.get("KESRA_STRESS_SECONDS", "4")
    proc = subprocess.run([sys.executable, str(STRESS), "--seconds", seconds], capture_output=True,
                          text=True, timeout=float(seconds) + 240)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert ("GIL disabled" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL held") in proc.stdout


# SIGINT from another thread lands between two calls of the main thread's loop (a
# native call is never cut short: it runs detached and the interrupt is raised once it
# returns). Afterwards every engine answers as before and can still be restored, which
# needs its claim counter back at zero.
INTERRUPTED = r"""
import os, random, signal, threading, time
import numpy as np, kesra

rng = np.random.default_rng(0)
points = rng.uniform(0, 10, (20_000, 3)).astype(np.float32)
queries = rng.uniform(0, 10, (5_000, 3)).astype(np.float32)
engines = [kesra.KesraNNSEngine(points, 0.8, m) for m in kesra.available_methods()]
states = [e.__getstate__() for e in engines]
expected = [(e.find_neighbours(queries, 8), e.count_neighbours(queries)) for e in engines]
stop = threading.Event()

def interrupter():
    r = random.Random(1)
    while not stop.wait(r.uniform(0.001, 0.03)):
        os.kill(os.getpid(), signal.SIGINT)

def check_all():
    for e, s, (found, counts) in zip(engines, states, expected):
        e.__setstate__(s)
        assert np.array_equal(e.find_neighbours(queries, 8)[0], found[0])
        assert np.array_equal(e.count_neighbours(queries), counts)

# Interrupts land only while armed, which the loop is only inside its try: one landing
# on the loop's own lines would end the script instead of testing the engines.
armed = False

def on_sigint(signum, frame):
    global armed
    if armed:
        armed = False
        raise KeyboardInterrupt

signal.signal(signal.SIGINT, on_sigint)
threading.Thread(target=interrupter, daemon=True).start()
interrupts, calls, deadline = 0, 0, time.monotonic() + 3
while time.monotonic() < deadline:
    try:
        armed = True
        for e, s in zip(engines, states):
            e.find_neighbours(queries[:500], 8, 1)
            e.count_neighbours(queries[:500], 2, 1.0)
            e.__setstate__(e.__getstate__())
            calls += 3
        armed = False
    except KeyboardInterrupt:
        interrupts += 1
stop.set()
check_all()
print(interrupts, calls)
"""


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or os.name != "posix", reason="needs POSIX signals")
def test_interrupts_leave_engines_usable():
    proc = subprocess.run([sys.executable, "-c", INTERRUPTED], capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stderr
    interrupts, calls = map(int, proc.stdout.split())
    assert interrupts > 10 and calls > 100
