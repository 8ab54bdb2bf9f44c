"""Benchmark every neighbour within r as CSR arrays against nanoflann, Open3D and scipy.

Usage, from the repository root:

    .venv/bin/python bench/bench_find_all.py [--quick] [--datasets cube,bun0,...]
        [--radius-rule mean,median] [--methods voxel,...] [--threads 2] [--repeats N]
        [--min-time S]

For every data set and radius rule (bench/radius_rules.py), with the cloud's own
points as queries in their own order, on T threads (default 2), it times, each with
rows sorted by distance and with rows in the search's own order:

- kesra: `KesraNNS(points, r, method).find_all_neighbours(points, sort=S, num_threads=T)`,
  which returns offsets int64 (M + 1,), indices int32 and float32 distances;
- nanoflann: `radiusSearch` of every point strictly within r, rows sorted or not,
  flattened into the same three arrays in C++ (bench/nanoflann_peer.cpp);
- Open3D 0.20: `core.nns.NearestNeighborSearch.fixed_radius_search(points, r, sort=S)`
  with int32 indices, in the stock python's venv (bench/open3d_peer.py); the search
  alone, its `fixed_radius_index` build shown apart. Without a usable Open3D its
  columns read n/a;
- scipy (sorted only): `cKDTree.query_ball_point(points, r, return_sorted=True,
  workers=T)` and, in NumPy, the flattening into the same arrays with every row sorted
  by distance. Far slower, it is timed once.

Ratios are peer time / kesra time for the same row order (targets: at least 1.5
against nanoflann and Open3D, 10 against scipy). The peak extra memory of kesra's
sorted call is measured in a fresh process (bench/memory_probes.py) and shown over the
output's size, and as "fits": whether it is at most 1.1 times the output plus 32 MB. kesra's rows are checked against
`count_neighbours` (lengths), sorted rows for ascending order and, on a sample,
against distances recomputed from the points; a failure makes the script exit with
status 1. A package without `find_all_neighbours` gets a note, and the peers are timed
alone. Data sets are "cube", "surface" and the real clouds, as in bench_queries.py
("clustered" would hold a billion pairs). The pairs within r are counted first: scipy
is skipped above 40 million (its lists would take gigabytes), every library above 500
million. A JSON summary is written to bench/results/find_all.json.
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
from open3d_runner import open3d_peer, open3d_version, run_open3d
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
ORDERS = (("sorted", True), ("unsorted", False))
PEERS = ("nanoflann", "open3d", "scipy")


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


def check_rows(nns, points, result, rng, ascending):
    """Failed checks of a find_all_neighbours result, by name (empty when all pass): row
    lengths against count_neighbours, and on sampled rows the distances and, when
    `ascending`, the order."""
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
        if ascending and (np.diff(distances[row]) < 0).any():
            return failed + [f"row {q} not ascending"]
        if not np.allclose(own, distances[row], rtol=1e-5, atol=1e-7 * nns.radius):
            return failed + [f"row {q}: distances differ from the points'"]
    return failed


def steady_report(run, key, min_time):
    """A peer's report from run(calls), run again with enough calls to fill min_time when
    one call of `key` is shorter."""
    report = run(1)
    calls = repeats_for(report[key], min_time)
    return run(calls) if calls > 1 else report


def within_memory_target(memory):
    """Whether the call's resident peak stays within 1.1 times its output plus 32 MB."""
    if not memory or memory["rss_peak_bytes"] is None:
        return "-"
    return "yes" if memory["rss_peak_bytes"] <= 1.1 * memory["output_bytes"] + 32e6 else "NO"


def bench_cloud(points, points_path, radius, method, threads, repeats, min_time, peers, rng, with_scipy):
    """Median seconds and pair totals by library and row order ("kesra sorted", "open3d
    unsorted", ..., and "open3d build"), kesra's memory and failed checks for one cloud."""
    points64 = points.astype(np.float64)
    tree = cKDTree(points64)
    nns = KesraNNS(points, radius, method) if hasattr(KesraNNS, "find_all_neighbours") else None
    samples, totals, failed = {}, {}, []
    for _ in range(repeats):
        for order, sort in ORDERS:
            if nns is not None:
                result, seconds = timed_steady(nns.find_all_neighbours, points, sort=sort, num_threads=threads,
                                               min_time=min_time)
                samples.setdefault(f"kesra {order}", []).append(seconds)
                totals[f"kesra {order}"] = int(result[0][-1])
                failed = failed or check_rows(nns, points, result, rng, ascending=sort)
                del result
            if peers["nanoflann"]:
                report = steady_report(lambda calls: run_nanoflann(
                    peers["nanoflann"], points_path, points_path, radius, threads, mode="radius", repeats=calls,
                    build_repeats=1, sorted_rows=sort), "radius_s", min_time)
                samples.setdefault(f"nanoflann {order}", []).append(report["radius_s"])
                totals[f"nanoflann {order}"] = report["radius_total"]
            if peers["open3d"]:
                report = steady_report(lambda calls: run_open3d(
                    peers["open3d"], "radius", points_path, None, radius, threads, calls, build_repeats=1,
                    sort=sort), "search_s", min_time)
                samples.setdefault(f"open3d {order}", []).append(report["search_s"])
                samples.setdefault("open3d build", []).append(report["build_s"])
                totals[f"open3d {order}"] = report["pairs"]
                totals[f"open3d {order} at or beyond r"] = report["pairs_at_or_beyond_r"]
        if with_scipy and "scipy sorted" not in samples:
            result, seconds = timed(scipy_find_all, tree, points64, radius, threads)
            samples["scipy sorted"] = [seconds]
            totals["scipy sorted"] = int(result[0][-1])
            del result
    memory = find_all_peak(points_path, radius, method, threads) if nns is not None else None
    return {name: statistics.median(values) for name, values in samples.items()}, totals, memory, failed


def by_order(name):
    """The keys of `name`'s measurements, sorted then unsorted."""
    return [f"{name} {order}" for order, _ in ORDERS]


def ratios(times):
    """Peer time / kesra time for every peer and row order measured."""
    return {key: times[key] / times[kesra] for peer in PEERS for key, kesra in zip(by_order(peer), by_order("kesra"))
            if key in times and times.get(kesra)}


def cells(values, keys, available, form):
    """One cell per key: n/a for a peer that is unavailable, - for one not run."""
    return [fmt(values.get(key), form) if available else "n/a" for key in keys]


def pair_notes(results):
    """Notes on peers that found another number of pairs than kesra."""
    notes = []
    for r in results:
        kesra = r["totals"].get("kesra sorted")
        for peer in ("nanoflann", "open3d"):
            total = r["totals"].get(f"{peer} sorted")
            if kesra is not None and total is not None and total != kesra:
                beyond = r["totals"].get(f"{peer} sorted at or beyond r")
                extra = "" if beyond is None else f", {beyond:,} of them at a squared distance >= r*r"
                notes.append(f"note: kesra and {peer} find {kesra:,} and {total:,} pairs on {r['dataset']} "
                             f"({r['radius_rule']} rule){extra}")
    return notes


def main(argv=None):
    parser = argparse.ArgumentParser(description="Benchmark find_all_neighbours against nanoflann, Open3D and scipy.")
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
    peers, skipped = {}, {}
    for peer, find in (("nanoflann", nanoflann_peer), ("open3d", open3d_peer)):
        peers[peer], skipped[peer] = find()
        if skipped[peer]:
            print(f"note: {peer} skipped: {skipped[peer]}", flush=True)

    rng = np.random.default_rng(0)
    rows, peer_rows, results, failures = [], [], [], []
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
                                                                repeats, min_time, peers, rng,
                                                                pairs <= SCIPY_MAX_PAIRS)
                    if failed:
                        failures.append((name, rule, method, failed))
                    ratio = ratios(times)
                    peak = {key: memory[f"{key}_peak_bytes"] / memory["output_bytes"]
                            if memory and memory[f"{key}_peak_bytes"] is not None else None
                            for key in ("rss", "traced")}
                    rows.append([name, f"{len(points):,}", rule, f"{radius:.3g}", method, f"{pairs / len(points):.1f}",
                                 *cells(times, by_order("kesra"), available, ".3f"),
                                 *cells(ratio, by_order("nanoflann"), peers["nanoflann"], ".2f"),
                                 *cells(ratio, by_order("open3d"), peers["open3d"], ".2f"),
                                 fmt(ratio.get("scipy sorted"), ".1f"), fmt(peak["rss"]), fmt(peak["traced"]),
                                 within_memory_target(memory)])
                    peer_rows.append([name, rule, method,
                                      *cells(times, by_order("nanoflann"), peers["nanoflann"],
                                             ".3f"),
                                      *cells(times, ["open3d build", *by_order("open3d")],
                                             peers["open3d"], ".3f"),
                                      fmt(times.get("scipy sorted"), ".3f")])
                    results.append({"dataset": name, "points": len(points), "nan_rows_dropped": dropped,
                                    "radius_rule": rule, "radius": radius, "pairs": pairs, "method": method,
                                    "threads": args.threads, "seconds": times, "ratios": ratio, "totals": totals,
                                    "memory": memory, "peak_over_output": peak, "failed_checks": failed})

    print()
    print(format_table(["dataset", "N", "rule", "r", "method", "nbrs/pt", "kesra s srt", "kesra s uns",
                        "x nf srt", "x nf uns", "x o3d srt", "x o3d uns", "x scipy", "peak/out RSS",
                        "peak/out traced", "fits"], rows))
    print(f"T = {args.threads}; srt: rows sorted by distance, uns: rows in the search's own order; x nf, x o3d, "
          "x scipy: peer time / kesra time for the same order (targets 1.5, 1.5 and 10; scipy sorts); "
          "peak/out: peak extra memory of kesra's sorted call over the output's size, by the resident set and "
          "by tracemalloc; fits: the resident peak is at most 1.1 x the output + 32 MB")
    print()
    print(format_table(["dataset", "rule", "method", "nf s srt", "nf s uns", "o3d build s", "o3d s srt",
                        "o3d s uns", "scipy s"], peer_rows))
    print("peer seconds: nanoflann's radiusSearch rows and Open3D's fixed_radius_search, builds apart; "
          "scipy's query_ball_point with the flattening")
    for peer in ("nanoflann", "open3d"):
        if skipped[peer]:
            print(f"note: {peer} n/a: {skipped[peer].splitlines()[0]}")
    if not available:
        print(f"note: {MISSING}")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
        "numpy": np.__version__, "scipy": scipy.__version__,
        "nanoflann": None if skipped["nanoflann"] else nanoflann_version(),
        "open3d": None if skipped["open3d"] else open3d_version(peers["open3d"]), "open3d_skipped": skipped["open3d"],
        "find_all_available": available, "repeats": repeats, "min_time_s": min_time, "results": results,
    }, indent=2) + "\n")
    print(f"\nwrote {args.output}")
    for note in pair_notes(results):
        print(note, file=sys.stderr)
    for name, rule, method, failed in failures:
        print(f"FAILED on {name} ({rule} rule, {method}): {'; '.join(failed)}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
