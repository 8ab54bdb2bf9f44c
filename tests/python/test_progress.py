"""The progress bars, the engine's and the package's: drawn only on a terminal, and gone
when the query returns."""

import os
import re
import struct
import subprocess
import sys

import pytest

fcntl = pytest.importorskip("fcntl")
termios = pytest.importorskip("termios")

COLUMNS = 80
CHILD = r"""
import numpy as np, kesra
rng = np.random.default_rng(0)
engine = kesra.KesraNNSEngine(rng.uniform(0, 20, (80_000, 3)).astype(np.float32), 1.0)
q = rng.uniform(0, 20, (60_000, 3)).astype(np.float32)
shown = engine.find_neighbours(q, 8, 1, 0.0, True), engine.find_neighbours(q, 8, 1)
same = all(np.array_equal(a, b) for a, b in zip(*shown))
same &= np.array_equal(engine.count_neighbours(q, 1, None, True), engine.count_neighbours(q, 1))
engine.find_neighbours(q[:0], 8, 1, 0.0, True)
nns = kesra.KesraNNS(rng.uniform(0, 20, (80_000, 3)), 1.0)
shown = nns.find_all_neighbours(q, num_threads=1, progress=True), nns.find_all_neighbours(q, num_threads=1)
same &= all(np.array_equal(a, b) for a, b in zip(*shown))
print(same)
"""
ENV = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}


def test_nothing_written_when_stderr_is_a_file(tmp_path):
    with open(tmp_path / "stderr", "wb") as err:
        proc = subprocess.run([sys.executable, "-c", CHILD], stdout=subprocess.PIPE,
                              stderr=err, env=ENV, timeout=120)
    assert proc.returncode == 0 and proc.stdout.split() == [b"True"]
    assert (tmp_path / "stderr").read_bytes() == b""


def test_bar_drawn_and_erased():
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, COLUMNS, 0, 0))
    proc = subprocess.Popen([sys.executable, "-c", CHILD], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=slave, env=dict(ENV, TERM="xterm"))
    os.close(slave)
    raw = bytearray()
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO once the child has closed its end
            break
        if not chunk:
            break
        raw += chunk
    os.close(master)
    assert proc.communicate(timeout=120)[0].split() == [b"True"] and proc.returncode == 0
    text = raw.decode()
    # Replay the line: carriage returns and erase-in-line are the only controls used.
    line, col, drawn = [], 0, []
    for token in re.findall(r"\x1b\[[0-9;]*[@-~]|.", text, re.S):
        assert token not in "\n\x1b" and (len(token) == 1 or token[-1] == "K"), repr(token)
        if token == "\r":
            drawn.append("".join(line).rstrip())
            col = 0
        elif len(token) > 1:
            mode = int(token[2:-1] or 0)
            span = {0: range(col, len(line)), 1: range(min(col + 1, len(line))),
                    2: range(len(line))}[mode]
            for c in span:
                line[c] = " "
        else:
            line[col:col + 1] = [token]
            col += 1
    drawn = [s for s in drawn if s]
    # Every neighbour takes two passes over its rows under one bar: counting, then finding.
    assert drawn and all(re.fullmatch(r"[█░]+ \d+/(60000|120000|0)", s) for s in drawn), drawn
    assert any(s.endswith("/120000") for s in drawn)
    assert max(len(s) for s in drawn) <= COLUMNS
    assert "".join(line).strip() == "", f"left on the terminal: {''.join(line)!r}"
