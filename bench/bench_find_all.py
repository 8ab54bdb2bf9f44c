"""Benchmark every neighbour within r as CSR arrays against nanoflann and scipy.

Usage, from the repository root:

    .venv/bin/python bench/bench_find_all.py [--quick] [--datasets cube,bun0,...]
        [--radius-rule mean,median] [--methods voxel,...] [--threads 2] [--repeats N]
        [--min-time S]

For every data set and radius rule (bench/radius_rules.py), with the cloud's own
points as queries in their own order, on T threads (default 2), it times:

- kesra: `KesraNNS(points, r, method).find_all_neighbours(points, num_threads=T)`,
  which returns offsets int64 (M + 1,), indices int32 and float32 distances, each row
  ascending;
- nanoflann: `radiusSearch` of every point strictly within r, rows unsorted, flattened
  into the same three arrays in C++ (bench/nanoflann_peer.cpp);
- scipy: `cKDTree.query_ball_point(points, r, return_sorted=True, workers=T)` and, in
  NumPy, the flattening into the same arrays with every row sorted by distance. Far
  slower, it is timed once.

Ratios are peer time / kesra time (targets: at least 1.5 against nanoflann, 10 against
scipy). The peak extra memory of kesra's call is measured in a fresh process
(bench/memory_probes.py) and shown over the output's size (target: at most 1.5).
kesra's rows are checked against `count_neighbours` (lengths), for ascending order and,
on a sample, against distances recomputed from the points; a failure makes the script
exit with status 1. A package without `find_all_neighbours` gets a note, and the peers
are timed alone. Data sets are "cube", "surface" and the real clouds, as in
bench_queries.py ("clustered" would hold a billion pairs). The pairs within r are
counted first: scipy is skipped above 40 million (its lists would take gigabytes),
every library above 500 million. A JSON summary is written to
bench/results/find_all.json.
"""

import argparse
import itertools
import json
import os
import platform
import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np
import scipy
from scipy.spatial import cKDTree

from datasets import dataset_loaders, finite_rows, select
from kesra import KesraNNS
from kesra.demo import format_table, timed
from memory_probes import find_all_peak
from nanoflann_runner import nanoflann_peer, nanoflann_version, run_nanoflann
from radius_rules import RULES, suggest_radius
from result_tables import fmt
from timing import repeats_for, timed_steady

REPO = Path(__file__).resolve().parents[1]
GENERATED = ("cube", "surface")
CHECK_ROWS = 1000
# Pairs beyond which a library is not run: scipy's lists take about 40 bytes a pair,
# the others' arrays 8 (plus scratch); the machine is shared.
SCIPY_MAX_PAIRS = 40_000_000
MAX_PAIRS = 500_000_000
MISSING = "KesraNNS has no find_all_neighbours in this build: kesra's columns are skipped"


def scipy_find_all(tree, points64, radius, threads):
    """query_ball_point's lists flattened into offsets, indices and distances, rows by distance."""
    rows = tree.query_ball_point(points64, radius, return_sorted=True, workers=threads)
    lengths = np.fromiter(map(len, rows), dtype=np.int64, count=len(rows))
    offsets = np.zeros(len(rows) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    indices = np.fromiter(itertools.chain.from_iterable(rows), dtype=np.int32, count=int(offsets[-1]))
    owners = np.repeat(np.arange(len(rows)), lengths)
    distances = np.linalg.norm(points64[indices] - points64[owners], axis=1).astype(np.float32)
    order = np.lexsort((distances, owners))
    return offsets, indices[order], distances[order]


def check_rows(nns, points, result, rng):
    """Failed checks of a find_all_neighbours result, by name (empty when all pass): row
    lengths against count_neighbours, and on sampled rows the order and the distances."""
    offsets, indices, distances = result
    failed = []
    if offsets.dtype != np.int64 or indices.dtype != np.int32 or distances.dtype != np.float32:
        failed.append(f"dtypes {offsets.dtype}, {indices.dtype}, {distances.dtype}")
    if offsets[0] != 0 or not np.array_equal(np.diff(offsets), nns.count_neighbours(points).astype(np.int64)):
        failed.append("row lengths differ from count_neighbours")
    if len(indices) != offsets[-1] or len(distances) != offsets[-1]:
        return failed + ["array lengths differ from offsets[-1]"]
    for q in rng.choice(len(points), size=min(CHECK_ROWS, len(points)), replace=False):
        row = slice(offsets[q], offsets[q + 1])
        own = np.linalg.norm(points[indices[row]].astype(np.float64) - points[q], axis=1)
        if (np.diff(distances[row]) < 0).any():
            return failed + [f"row {q} not ascending"]
        if not np.allclose(own, distances[row], rtol=1e-5, atol=1e-7 * nns.radius):
            return failed + [f"row {q}: distances differ from the points'"]
    return failed


def bench_cloud(points, points_path, radius, method, threads, repeats, min_time, nanoflann, rng, with_scipy):
    """Median seconds per library, totals, kesra's memory and failed checks for one cloud."""
    points64 = points.astype(np.float64)
    tree = cKDTree(points64)
    nns = KesraNNS(points, radius, method) if hasattr(KesraNNS, "find_all_neighbours") else None
    samples, totals, failed = {}, {}, []
    for _ in range(repeats):
        if nns is not None:
            result, seconds = timed_steady(nns.find_all_neighbours, points, num_threads=threads, min_time=min_time)
            samples.setdefault("kesra", []).append(seconds)
            totals["kesra"] = int(result[0][-1])
            failed = failed or check_rows(nns, points, result, rng)
            del result
        if nanoflann:
            report = run_nanoflann(nanoflann, points_path, points_path, radius, threads, mode="radius")
            calls = repeats_for(report["radius_s"], min_time)
            if calls > 1:
                report = run_nanoflann(nanoflann, points_path, points_path, radius, threads, mode="radius",
                                       repeats=calls, build_repeats=1)
            samples.setdefault("nanoflann", []).append(report["radius_s"])
            totals["nanoflann"] = report["radius_total"]
        if with_scipy and "scipy" not in samples:
            result, seconds = timed(scipy_find_all, tree, points64, radius, threads)
            samples.setdefault("scipy", []).append(seconds)
            totals["scipy"] = int(result[0][-1])
            del result
    memory = find_all_peak(points_path, radius, method, threads) if nns is not None else None
    return {name: statistics.median(values) for name, values in samples.items()}, totals, memory, failed


def main(argv=None):
    parser = argparse.ArgumentParser(description="Benchmark find_all_neighbours against nanoflann and scipy.")
    parser.add_argument("--quick", action="store_true", help="100,000 generated points, one run")
    parser.add_argument("--datasets", type=lambda s: s.split(","), help="comma-separated (default: all)")
    parser.add_argument("--radius-rule", type=lambda s: s.split(","), default=RULES, dest="radius_rules",
                        help="mean, median (default: both)")
    parser.add_argument("--methods", type=lambda s: s.split(","), default=["voxel"], help="default: voxel")
    parser.add_argument("--threads", type=int, default=2, help="default: 2")
    parser.add_argument("--repeats", type=int, help="runs per measurement (default: 3; 1 with --quick)")
    parser.add_argument("--min-time", type=float, help="seconds a timed run repeats its call for (default 0.2)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "find_all.json")
    args = parser.parse_args(argv)
    repeats = args.repeats or (1 if args.quick else 3)
    min_time = args.min_time if args.min_time is not None else (0.0 if args.quick else 0.2)
    if unknown := [rule for rule in args.radius_rules if rule not in RULES]:
        parser.error(f"unknown radius rules {unknown}; available: {RULES}")
    loaders = dataset_loaders(args.quick, GENERATED)
    names = select(loaders, args.datasets, parser)

    available = hasattr(KesraNNS, "find_all_neighbours")
    if not available:
        print(f"note: {MISSING}", flush=True)
    nanoflann, skipped = nanoflann_peer()
    if skipped:
        print(f"note: nanoflann skipped: {skipped}", flush=True)

    rng = np.random.default_rng(0)
    rows, results, failures = [], [], []
    for name in names:
        points, dropped = finite_rows(loaders[name]())
        with tempfile.TemporaryDirectory() as tmp:
            points_path = Path(tmp) / "points.npy"
            np.save(points_path, points)
            for rule in args.radius_rules:
                radius = suggest_radius(points, rule)
                pairs = int(cKDTree(points).query_ball_point(points, radius, return_length=True,
                                                             workers=args.threads).sum())
                print(f"{name}: {len(points):,} points, r = {radius:.4g} ({rule} rule), {pairs:,} pairs", flush=True)
                if pairs > MAX_PAIRS:
                    print(f"  skipped: more than {MAX_PAIRS:,} pairs", flush=True)
                    continue
                if pairs > SCIPY_MAX_PAIRS:
                    print(f"  scipy skipped: more than {SCIPY_MAX_PAIRS:,} pairs", flush=True)
                for method in args.methods:
                    print(f"  {method}", flush=True)
                    times, totals, memory, failed = bench_cloud(points, points_path, radius, method, args.threads,
                                                                repeats, min_time, nanoflann, rng,
                                                                pairs <= SCIPY_MAX_PAIRS)
                    if failed:
                        failures.append((name, rule, method, failed))
                    kesra_s = times.get("kesra")
                    ratio = {peer: times[peer] / kesra_s if kesra_s and peer in times else None
                             for peer in ("nanoflann", "scipy")}
                    peak = {key: memory[f"{key}_peak_bytes"] / memory["output_bytes"]
                            if memory and memory[f"{key}_peak_bytes"] is not None else None
                            for key in ("rss", "traced")}
                    rows.append([name, f"{len(points):,}", rule, f"{radius:.3g}", method, f"{pairs / len(points):.1f}",
                                 fmt(kesra_s, ".3f"), fmt(ratio["nanoflann"]), fmt(ratio["scipy"], ".1f"),
                                 fmt(peak["rss"]), fmt(peak["traced"]),
                                 fmt(times.get("nanoflann"), ".3f"), fmt(times.get("scipy"), ".3f")])
                    results.append({"dataset": name, "points": len(points), "nan_rows_dropped": dropped,
                                    "radius_rule": rule, "radius": radius, "pairs": pairs, "method": method,
                                    "threads": args.threads, "seconds": times, "ratios": ratio, "totals": totals,
                                    "memory": memory, "peak_over_output": peak, "failed_checks": failed})

    print()
    print(format_table(["dataset", "N", "rule", "r", "method", "nbrs/pt", "kesra s", "x nf", "x scipy",
                        "peak/out RSS", "peak/out traced", "nf s", "scipy s"], rows))
    print(f"T = {args.threads}; x nf, x scipy: peer time / kesra time (targets 1.5 and 10); peak/out: peak extra "
          "memory of kesra's call over the output's size (target 1.5), by the resident set and by tracemalloc")
    if not available:
        print(f"note: {MISSING}")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
        "numpy": np.__version__, "scipy": scipy.__version__,
        "nanoflann": None if skipped else nanoflann_version(), "find_all_available": available,
        "repeats": repeats, "min_time_s": min_time, "results": results,
    }, indent=2) + "\n")
    print(f"\nwrote {args.output}")
    for r in results:
        if {"kesra", "nanoflann"} <= r["totals"].keys() and r["totals"]["kesra"] != r["totals"]["nanoflann"]:
            print(f"note: kesra and nanoflann find {r['totals']['kesra']:,} and {r['totals']['nanoflann']:,} "
                  f"pairs on {r['dataset']} ({r['radius_rule']} rule)", file=sys.stderr)
    for name, rule, method, failed in failures:
        print(f"FAILED on {name} ({rule} rule, {method}): {'; '.join(failed)}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
