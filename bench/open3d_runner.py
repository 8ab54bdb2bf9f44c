"""Runs bench/open3d_peer.py, the Open3D side of the benchmarks, and returns its JSON.

Open3D has no free-threaded wheel, so the peer runs in build/open3d-venv, a venv of
the stock /usr/bin/python3 that scripts/open3d-venv.sh makes on first use (a 400 MB
wheel) and reuses after. Without it the benchmarks show Open3D's columns as n/a.
"""

import json
import os
import subprocess
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
SCRIPT = REPO / "scripts" / "open3d-venv.sh"
PEER = REPO / "bench" / "open3d_peer.py"
VENV = REPO / "build" / "open3d-venv"
# libusb unpacked by the script when it could not install the Debian package
LIBUSB = VENV / "libusb" / "usr" / "lib"
_versions = {}


def open3d_peer():
    """(the venv's python, None), or (None, why Open3D is unavailable)."""
    if not (VENV / "bin" / "python").exists():
        print(f"setting up {VENV.relative_to(REPO)} for Open3D (a 400 MB wheel)", flush=True)
    try:
        out = subprocess.run(["bash", str(SCRIPT)], capture_output=True, text=True)
    except OSError as error:
        return None, f"cannot run {SCRIPT.name}: {error}"
    if out.returncode != 0:
        if "No matching distribution" in out.stderr:
            return None, "Open3D 0.20 has no wheel for the stock /usr/bin/python3 of this machine"
        return None, f"{SCRIPT.name} failed ({out.returncode}):\n{out.stderr.strip()[-2000:]}"
    python = Path(out.stdout.strip().splitlines()[-1])
    check = subprocess.run([str(python), "-c", "import open3d; print(open3d.__version__)"],
                           capture_output=True, text=True, env=peer_env(1))
    if check.returncode != 0:
        return None, f"Open3D does not load in {VENV.relative_to(REPO)}:\n{check.stderr.strip()[-2000:]}"
    _versions[python] = check.stdout.strip()
    return python, None


def open3d_version(python):
    """The Open3D version `open3d_peer` found for `python`."""
    return _versions.get(Path(python))


def peer_env(threads):
    """The environment of a peer run on `threads` threads: OpenMP bounded and not spinning,
    no path of the free-threaded venv, and the unpacked libusb when there is one."""
    env = {key: value for key, value in os.environ.items()
           if key not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")}
    env.update(OMP_NUM_THREADS=str(threads), OMP_WAIT_POLICY="PASSIVE", KMP_BLOCKTIME="0")
    libs = [str(path) for path in LIBUSB.glob("*") if path.is_dir()]
    if libs:
        env["LD_LIBRARY_PATH"] = os.pathsep.join(libs + [env.get("LD_LIBRARY_PATH", "")]).rstrip(os.pathsep)
    return env


def run_open3d(python, mode, points_path, queries_path, radius, threads, repeats=1, **options):
    """The peer's JSON report for `mode` ("radius" or "normals"): median seconds of `repeats`
    calls after a warm-up, on `threads` threads. `options` become the peer's flags (sort=True
    is --sort 1, max_nn=30 is --max-nn 30, hybrid_out=path ...); None leaves one out."""
    args = ["--mode", mode, "--points", points_path, "--radius", repr(float(radius)),
            "--threads", threads, "--repeats", repeats]
    if queries_path is not None:
        args += ["--queries", queries_path]
    for key, value in options.items():
        if value is not None:
            args += ["--" + key.replace("_", "-"), int(value) if isinstance(value, bool) else value]
    out = subprocess.run([str(python), str(PEER), *map(str, args)], capture_output=True, text=True,
                         env=peer_env(threads))
    if out.returncode != 0:
        raise RuntimeError(f"{PEER.name} failed ({out.returncode}): {out.stderr.strip()[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


PYKDTREE_PEER = REPO / "bench" / "pykdtree_peer.py"


def run_pykdtree(python, points_path, queries_path, radius, threads, k=16, repeats=1):
    """bench/pykdtree_peer.py's JSON report, run in the same venv on `threads` OpenMP threads;
    None when pykdtree does not load there."""
    args = ["--points", points_path, "--queries", queries_path, "--radius", repr(float(radius)), "--k", k,
            "--repeats", repeats]
    out = subprocess.run([str(python), str(PYKDTREE_PEER), *map(str, args)], capture_output=True, text=True,
                         env=peer_env(threads))
    if out.returncode != 0:
        if "No module named 'pykdtree'" in out.stderr:
            return None
        raise RuntimeError(f"{PYKDTREE_PEER.name} failed ({out.returncode}): {out.stderr.strip()[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])
