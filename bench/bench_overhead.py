"""What a call costs beyond starting and joining its T threads.

Usage, from the repository root:

    .venv/bin/python bench/bench_overhead.py [--threads 1,2] [--calls N] [--dataset lamppost]

On the lamppost scan (1,771 points; without the data folder, as many points of the
generated surface) at r by the median rule, for every exact method, it times the
median of --calls calls (default 1,000) of:

- an empty query (no rows) and a 1-row query, of find_neighbours (k = 16) and of
  count_neighbours, with num_threads = T;
- the build, with RAYON_NUM_THREADS = T;

through the native engine (`KesraNNSEngine`) and the package (`KesraNNS`), beside
scipy's cKDTree.query of one point (k = 16, bounded by r) in the same process. The floor
is starting T threads that do nothing and joining them, timed in C++ by
bench/nanoflann_peer.cpp (--mode threads); "beyond" is a call's median minus it. A JSON
summary is written to bench/results/overhead.json.
"""

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np
from scipy.spatial import cKDTree

from datasets import data_dir, finite_rows
from kesra import KesraNNS, KesraNNSEngine
from kesra.clouds import height_field_surface
from kesra.demo import format_table
from nanoflann_runner import nanoflann_peer, spawn_join_seconds
from radius_rules import suggest_radius
from result_tables import fmt

REPO = Path(__file__).resolve().parents[1]
METHODS = ["voxel", "kdtree", "hybrid"]
LAYERS = {"engine": KesraNNSEngine, "package": KesraNNS}
LAMPPOST_POINTS = 1771


def median_call(fn, calls):
    """Median seconds of `calls` calls of fn()."""
    seconds = []
    for _ in range(calls):
        start = time.perf_counter()
        fn()
        seconds.append(time.perf_counter() - start)
    return statistics.median(seconds)


def call_times(points, radius, method, layer, threads, calls):
    """Median seconds per kind of call for one method through one layer at T threads."""
    os.environ["RAYON_NUM_THREADS"] = str(threads)
    make = LAYERS[layer]
    search = make(points, radius, method=method)
    empty, one = points[:0], points[:1]
    return {
        "find, 0 rows": median_call(lambda: search.find_neighbours(empty, 16, num_threads=threads), calls),
        "find, 1 row": median_call(lambda: search.find_neighbours(one, 16, num_threads=threads), calls),
        "count, 0 rows": median_call(lambda: search.count_neighbours(empty, num_threads=threads), calls),
        "count, 1 row": median_call(lambda: search.count_neighbours(one, num_threads=threads), calls),
        f"build, {len(points):,} points": median_call(lambda: make(points, radius, method=method), calls),
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description="Per-call cost beyond starting and joining T threads.")
    parser.add_argument("--threads", type=lambda s: [int(t) for t in s.split(",")], default=[1, 2],
                        help="comma-separated (default: 1,2)")
    parser.add_argument("--calls", type=int, default=1000, help="calls per median (default: 1000)")
    parser.add_argument("--dataset", default="lamppost", help="a cloud in the data folder (default: lamppost)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "overhead.json")
    args = parser.parse_args(argv)

    path = data_dir() / f"{args.dataset}.npy"
    points, _ = finite_rows(np.load(path) if path.exists() else height_field_surface(LAMPPOST_POINTS))
    radius = suggest_radius(points, "median")
    binary, skipped = nanoflann_peer()
    if skipped:
        print(f"note: no thread floor: {skipped}")
    print(f"{path.stem if path.exists() else 'surface'}: {len(points):,} points, r = {radius:.4g} (median rule)")

    tree, point = cKDTree(points), points[0].astype(np.float64)
    scipy_one = median_call(lambda: tree.query(point, 16, distance_upper_bound=radius), args.calls)
    rows, results = [["scipy cKDTree.query, 1 point", 1, "", fmt(scipy_one * 1e6, ".1f"), "", ""]], []
    results.append({"call": "scipy query, 1 point", "threads": 1, "seconds": scipy_one})
    for t in args.threads:
        floor = spawn_join_seconds(binary, t) if binary else None
        rows.append([f"start + join {t} thread(s), C++", t, fmt(floor and floor * 1e6, ".1f"), "", "", ""])
        results.append({"call": "spawn_join", "threads": t, "seconds": floor})
        for method in METHODS:
            by_layer = {layer: call_times(points, radius, method, layer, t, args.calls) for layer in LAYERS}
            for call in by_layer["engine"]:
                seconds = [by_layer[layer][call] for layer in LAYERS]
                beyond = [None if floor is None else s - floor for s in seconds]
                rows.append([f"{method} {call}", t, *[fmt(s * 1e6, ".1f") for s in seconds],
                             *[fmt(b and b * 1e6, ".1f") for b in beyond]])
                results += [{"call": call, "method": method, "layer": layer, "threads": t, "seconds": s,
                             "beyond_threads_s": b} for layer, s, b in zip(LAYERS, seconds, beyond)]
    print(format_table(["call", "T", "engine us", "package us", "engine - floor", "package - floor"], rows))
    print("medians of {:,} calls; floor: starting and joining T threads in C++".format(args.calls))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({"points": len(points), "radius": radius, "calls": args.calls,
                                       "results": results}, indent=2) + "\n")
    print(f"\nwrote {args.output}")


if __name__ == "__main__":
    sys.exit(main())
