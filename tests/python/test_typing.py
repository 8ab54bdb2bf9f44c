"""Type information: the stub of the native module matches it, and typical user code
passes `mypy --strict`."""

import runpy
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "tests" / "typing" / "usage_example.py"


def test_mypy_strict_and_stubtest():
    pytest.importorskip("mypy", reason="mypy not installed (scripts/make-venv.sh installs it)")
    # Both load NumPy's stubs for half a minute: run them side by side, outside the
    # source tree so that the installed package and its stub are what is checked.
    commands = {
        "mypy --strict": ["mypy", "--strict", "--cache-dir", str(REPO / "build" / "mypy-cache"), str(EXAMPLE)],
        "stubtest": ["mypy.stubtest", "kesra._kesra"],
    }
    procs = {name: subprocess.Popen([sys.executable, "-m", *args], cwd=EXAMPLE.parent, text=True,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
             for name, args in commands.items()}
    outputs = {name: proc.communicate(timeout=600)[0] for name, proc in procs.items()}
    for name, proc in procs.items():
        assert proc.returncode == 0, f"{name}:\n{outputs[name]}"


def test_usage_example_runs(capsys):
    runpy.run_path(str(EXAMPLE), run_name="__main__")
    assert "voxel" in capsys.readouterr().out
