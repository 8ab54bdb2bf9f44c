"""Compiles and runs bench/nanoflann_peer.cpp, the nanoflann side of the benchmarks.

The header is the newest nanoflann Debian ships, unpacked (not installed) by
scripts/install-toolchain.sh into $KESRA_CACHE (default /opt/kesra-toolchain). The
program is compiled on first use into build/bench/ with g++ ($CXX), with the same
float flags as the engine, and reports median seconds per call as JSON.
"""

import json
import os
import re
import subprocess
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
INCLUDE = Path(os.environ.get("KESRA_CACHE", "/opt/kesra-toolchain")) / "nanoflann" / "usr" / "include"
HEADER = INCLUDE / "nanoflann.hpp"
SOURCE = REPO / "bench" / "nanoflann_peer.cpp"
BINARY = REPO / "build" / "bench" / "nanoflann_peer"
FLAGS = ["-O3", "-std=c++20", "-ffp-contract=off", "-pthread"]
LEAF_SIZE = 16


def nanoflann_peer():
    """(path of the compiled program, None), or (None, why it is unavailable)."""
    if not HEADER.exists():
        return None, f"{HEADER} not found; scripts/install-toolchain.sh (run by make) fetches it"
    newest = max(SOURCE.stat().st_mtime, HEADER.stat().st_mtime)
    if BINARY.exists() and BINARY.stat().st_mtime >= newest:
        return BINARY, None
    BINARY.parent.mkdir(parents=True, exist_ok=True)
    cxx = os.environ.get("CXX", "g++")
    print(f"compiling {BINARY.relative_to(REPO)} with {cxx}", flush=True)
    try:
        out = subprocess.run([cxx, *FLAGS, "-I", str(INCLUDE), "-o", str(BINARY), str(SOURCE)],
                             capture_output=True, text=True)
    except OSError as error:
        return None, f"cannot run {cxx}: {error}"
    if out.returncode != 0:
        return None, f"compiling {SOURCE.name} failed:\n{out.stderr.strip()[-2000:]}"
    return BINARY, None


def run_nanoflann(binary, points_path, queries_path, radius, threads, *, mode="all", k=16, repeats=1,
                  build_repeats=0, sorted_rows=False):
    """The program's JSON report: median seconds of `repeats` calls per operation of `mode`
    and of `build_repeats` builds (0: as many as `repeats`), on `threads` threads; mode
    "radius" sorts its rows by distance with `sorted_rows`."""
    return _run(binary, "--points", points_path, "--queries", queries_path, "--radius", repr(radius),
                "--k", k, "--threads", threads, "--repeats", repeats, "--build-repeats", build_repeats,
                "--mode", mode, "--sorted", int(sorted_rows))


def spawn_join_seconds(binary, threads, repeats=2000):
    """Median seconds to start `threads` threads that do nothing and join them, in C++."""
    return _run(binary, "--mode", "threads", "--threads", threads, "--repeats", repeats)["spawn_join_s"]


def _run(binary, *args):
    out = subprocess.run([str(binary), *map(str, args)], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{binary.name} failed ({out.returncode}): {out.stderr.strip()}")
    return json.loads(out.stdout)


def nanoflann_version():
    match = re.search(r'#define\s+NANOFLANN_VERSION_STRING\s+"([^"]+)"', HEADER.read_text())
    return match and match.group(1)
