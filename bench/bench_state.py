"""Benchmark saving and restoring engines against building them, in the same process.

Usage, from the repository root:

    .venv/bin/python bench/bench_state.py [--quick] [--repeats N] [--threads T]

For a 1,000,000-point height-field surface (r for about 30 neighbours) and every
method, it builds the engine (pool of T threads, default 2, via RAYON_NUM_THREADS),
then times `pickle.dumps(engine)` and `pickle.loads(...)` and reports the state size
in bytes per point and the ratio build time / (dumps + loads) time: above 5 is the
target. Restored engines are checked to answer a sample of queries exactly as the
built ones; a difference makes the script exit with status 1. Medians of --repeats
runs (default 3). --quick uses 100,000 points and one run.

A JSON summary is written to bench/results/state.json.
"""

import argparse
import json
import os
import pickle
import platform
import statistics
import sys
from pathlib import Path

import numpy as np

from kesra import KesraNNSEngine, available_methods, suggest_radius
from kesra.clouds import height_field_surface
from kesra.demo import format_table, timed

REPO = Path(__file__).resolve().parents[1]
TARGET = 5.0


def same_answers(a, b, queries):
    pairs = [(a.find_neighbours(queries, 16), b.find_neighbours(queries, 16)),
             ((a.count_neighbours(queries),), (b.count_neighbours(queries),))]
    return all(np.array_equal(x, y, equal_nan=True) for p, q in pairs for x, y in zip(p, q))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Time pickling engines against building them.")
    parser.add_argument("--quick", action="store_true", help="100,000 points, one run")
    parser.add_argument("--repeats", type=int, help="runs per measurement (default 3; 1 with --quick)")
    parser.add_argument("--threads", type=int, default=2, help="pool size for builds (default 2)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "state.json")
    args = parser.parse_args(argv)
    repeats = args.repeats or (1 if args.quick else 3)
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)

    n = 100_000 if args.quick else 1_000_000
    points = height_field_surface(n)
    radius = suggest_radius(points, 30, "mean")
    queries = points[np.random.default_rng(1).choice(n, 2000, replace=False)]
    rows, results, failed = [], [], False
    for method in available_methods():
        builds, dumps, loads = [], [], []
        for _ in range(repeats):
            engine, t_build = timed(KesraNNSEngine, points, radius, method)
            state, t_dump = timed(pickle.dumps, engine, protocol=pickle.HIGHEST_PROTOCOL)
            restored, t_load = timed(pickle.loads, state)
            builds.append(t_build), dumps.append(t_dump), loads.append(t_load)
        if not same_answers(engine, restored, queries):
            print(f"{method}: the restored engine answers differently", file=sys.stderr)
            failed = True
        b, d, lo = (statistics.median(v) for v in (builds, dumps, loads))
        ratio = b / (d + lo)
        result = {"method": method, "points": n, "state_bytes": len(state),
                  "bytes_per_point": len(state) / n, "build_s": b, "dumps_s": d, "loads_s": lo,
                  "build_over_save_and_load": ratio, "target_met": ratio >= TARGET}
        results.append(result)
        rows.append([method, f"{len(state) / n:.1f}", f"{b:.3f}", f"{d:.3f}", f"{lo:.3f}", f"{ratio:.1f}x",
                     "yes" if ratio >= TARGET else "NO"])
        del engine, restored, state

    print(f"\nSaving and restoring engines: height-field surface, {n:,} points, build threads {args.threads}")
    print(format_table(["method", "B/point", "build s", "dumps s", "loads s", "build/(dumps+loads)",
                        f">= {TARGET:g}x"], rows))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({"machine": platform.node(), "threads": args.threads, "repeats": repeats,
                                       "results": results}, indent=2))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
