"""Benchmark kesra's neighbour queries against scipy's cKDTree and nanoflann.

Usage, from the repository root:

    .venv/bin/python bench/bench_queries.py [--quick] [--summary] [--methods voxel,...]
        [--threads 1,2] [--datasets cube,surface,bun0,...] [--repeats N]
        [--orders own,random] [--radius-rule mean,median] [--cells-per-radius 1,2,3]
        [--min-time S]

For every data set, radius rule, query order, method, cells_per_radius and thread
count T it times, for kesra, cKDTree and nanoflann:

- build: `KesraNNSEngine(points, r, cells_per_radius=c)` (its pool sized T via
  RAYON_NUM_THREADS) vs `cKDTree(points)` (always one thread) and nanoflann's tree
  (leaf size 16, built on T threads);
- find: `engine.find_neighbours(q, 16, num_threads=T)`
  vs `tree.query(q, k=16, distance_upper_bound=r, workers=T)`
  vs nanoflann's k nearest strictly within r on T threads;
- count: `engine.count_neighbours(q, num_threads=T)`
  vs `tree.query_ball_point(q, r, return_length=True, workers=T)`
  vs nanoflann counting within r on T threads.

The queries are the points themselves, in the cloud's own order and in a fixed
random permutation. r follows each radius rule (bench/radius_rules.py): "mean" (the
mean point has about 30 neighbours) and "median" (the median point has about 30); the
clustered cloud has a fixed r instead (rule "fixed"). Runs of the three libraries are
interleaved and the tables show medians and ratios (kesra throughput / peer
throughput; peer build time / kesra build time), so values above 1 mean kesra is
faster. Each run of an operation, builds included, repeats it until it has taken
--min-time seconds (0.2 by default) and counts the median call, so that calls of a
millisecond or less are not timed by a single call on a busy machine; nanoflann gets
as many repeats in its own process. cKDTree gets float64 copies made outside the
timings, since that is its native type. nanoflann runs in a small C++ program
(bench/nanoflann_runner.py; skipped when its header is missing) over the same float32
points, so its timings include no Python overhead. Memory per point is the growth of
the resident set while building, measured in a fresh process per engine with kesra
and cKDTree starting from the same float32 array.

After the detail it prints a summary, one line per data set, order and rule: every
method's find, count and build against nanoflann at the largest T. --summary measures
only what that line needs (T = 2 unless --threads says otherwise, no memory probe) and
prints only the summary; bench/result_tables.py reprints it from the JSON file.

Data sets: "cube" (uniform, 1,000,000 points), "surface" (lidar-like height field,
1,000,000 points), "clustered" (1,000,000 points, half of them in dense blobs filling
1 % of the volume; r gives about 30 neighbours outside the blobs, so a plain grid has
crowded cells inside them) and every .npy cloud in $KESRA_DATA_DIR or ../shared/data
beside the repository (absent ones are skipped). Rows with NaN are dropped for all
libraries. --quick uses 100,000 generated points and a single run to smoke-test the
script.

Before timing, a few hundred queries are checked against cKDTree (neighbour counts
and distances, allowing for float32 rounding at the radius); any disagreement is
reported and makes the script exit with status 1. nanoflann's totals of found and
counted neighbours are compared with cKDTree's and a difference beyond float rounding
is reported without failing the run. A JSON summary is written to
bench/results/latest.json.
"""

import argparse
import json
import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import scipy
from scipy.spatial import cKDTree

import kesra
from datasets import dataset_loaders, finite_rows, select
from kesra import KesraNNSEngine
from kesra.method_choice import choose_method
from memory_probes import memory_per_point
from nanoflann_runner import FLAGS, LEAF_SIZE, nanoflann_peer, nanoflann_version, run_nanoflann
from radius_rules import NEIGHBOURS, RULES, suggest_radius
from result_tables import job_table, detail_table, memory_table, peer_table, summary_table
from timing import repeats_for, timed_steady

REPO = Path(__file__).resolve().parents[1]
K = 16
CHECK_QUERIES = 300
# Relative slack at the radius: float32 distances differ from float64 ones by far less.
TOLERANCE = 1e-5
# Totals over all queries: nanoflann keeps float32 squared distances below r*r, cKDTree
# float64 distances up to r inclusive, so points at the radius may fall either way.
PEER_TOTAL_TOLERANCE = 1e-5
ORDERS = ["own", "random"]
PEERS = ("ckdtree", "nanoflann")
OPS = ("build", "find", "count")
SUMMARY_THREADS = [2]



def total_mismatch(peer, reference):
    """Relative difference of two totals when beyond float rounding at the radius, else None."""
    gap = abs(peer - reference) / max(reference, 1)
    return gap if gap > PEER_TOTAL_TOLERANCE else None


def check_agreement(engine, tree, points, radius, rng):
    """Number of sampled queries on which kesra disagrees with cKDTree, per kind of check."""
    q = points[rng.choice(len(points), size=min(CHECK_QUERIES, len(points)), replace=False)]
    q64 = q.astype(np.float64)
    # Points within float rounding of the radius may fall either way.
    low = tree.query_ball_point(q64, radius * (1 - TOLERANCE), return_length=True)
    high = tree.query_ball_point(q64, radius * (1 + TOLERANCE), return_length=True)
    counts = engine.count_neighbours(q)
    indices, distances = engine.find_neighbours(q, K)
    ref_dist, _ = tree.query(q64, k=K, distance_upper_bound=radius * (1 + TOLERANCE))

    found = indices >= 0
    n_found = found.sum(axis=1)
    rows = points[np.where(found, indices, 0)].astype(np.float64)
    own_dist = np.linalg.norm(rows - q64[:, None, :], axis=2)
    both = found & np.isfinite(ref_dist)

    def close(a, b):
        return np.isclose(a, b, rtol=TOLERANCE, atol=TOLERANCE * radius)

    return {
        "count": int(((counts < low) | (counts > high)).sum()),
        "found": int(((n_found < np.minimum(low, K)) | (n_found > np.minimum(high, K))).sum()),
        "padding": int((found[:, 1:] & ~found[:, :-1]).any(axis=1).sum()
                       + ((~found) & ((indices != -1) | (distances != -1))).any(axis=1).sum()),
        "row_distance": int((found & ~close(own_dist, distances)).any(axis=1).sum()),
        "ranked_distance": int((both & ~close(distances, ref_dist)).any(axis=1).sum()),
    }


def time_nanoflann(binary, paths, radius, threads, min_time):
    """nanoflann's report, with builds and queries each repeated for min_time."""
    report = run_nanoflann(binary, *paths, radius, threads, k=K)
    calls = repeats_for(min(report["find_s"], report["count_s"]), min_time)
    builds = repeats_for(report["build_s"], min_time)
    if max(calls, builds) > 1:
        report = run_nanoflann(binary, *paths, radius, threads, k=K, repeats=calls, build_repeats=builds)
    return report


def make_engine(points, radius, method, cells_per_radius):
    """The engine of `method`; "auto" is the package's default, chosen as KesraNNS
    chooses it (the choice is part of its build time)."""
    if method == "auto":
        method = choose_method(points, radius).method
    return KesraNNSEngine(points, radius, method=method, cells_per_radius=cells_per_radius)


def timed_choice(points, radius, calls=20):
    """The method "auto" chooses, and the least seconds of `calls` choices."""
    seconds = []
    for _ in range(calls):
        start = time.perf_counter()
        choice = choose_method(points, radius)
        seconds.append(time.perf_counter() - start)
    return choice.method, min(seconds)


def bench_dataset(points, queries, paths, radius, methods, cells, threads, repeats, nanoflann, min_time=0.0):
    """Median seconds per (engine, T, operation) and the peers' neighbour totals.

    Engines are (method, cells_per_radius) pairs, "ckdtree" and, given the program
    path `nanoflann`, "nanoflann"; `paths` are the .npy files of points and queries.
    """
    points64 = points.astype(np.float64)
    queries64 = points64 if queries is points else queries.astype(np.float64)
    times, totals = {}, {}
    saved = os.environ.get("RAYON_NUM_THREADS")
    for t in threads:
        os.environ["RAYON_NUM_THREADS"] = str(t)  # sizes the construction pool
        samples = {}
        for repeat in range(repeats):
            tree, build = timed_steady(cKDTree, points64, min_time=min_time)
            (distances, _), find = timed_steady(tree.query, queries64, k=K, distance_upper_bound=radius, workers=t,
                                                min_time=min_time)
            counts, count = timed_steady(tree.query_ball_point, queries64, radius, return_length=True, workers=t,
                                         min_time=min_time)
            runs = {"ckdtree": {"build": build, "find": find, "count": count}}
            totals["ckdtree"] = {"found": int(np.isfinite(distances).sum()), "count": int(counts.sum())}
            del tree, distances, counts
            if nanoflann:
                report = time_nanoflann(nanoflann, paths, radius, t, min_time)
                runs["nanoflann"] = {op: report[f"{op}_s"] for op in OPS}
                totals["nanoflann"] = {"found": report["found_total"], "count": report["count_total"]}
            # Each repeat starts from another method: the first engine timed after the
            # peers' runs measured up to 30 % slower than the same engine timed later.
            for method in methods[repeat % len(methods):] + methods[:repeat % len(methods)]:
                for c in cells:
                    engine, build = timed_steady(make_engine, points, radius, method, c, min_time=min_time)
                    runs[(method, c)] = {
                        "build": build,
                        "find": timed_steady(engine.find_neighbours, queries, K, num_threads=t, min_time=min_time)[1],
                        "count": timed_steady(engine.count_neighbours, queries, num_threads=t, min_time=min_time)[1],
                    }
                    del engine
            for name, ops in runs.items():
                for op, seconds in ops.items():
                    samples.setdefault((name, op), []).append(seconds)
        for (name, op), values in samples.items():
            times[(name, t, op)] = statistics.median(values)
    if saved is None:
        os.environ.pop("RAYON_NUM_THREADS")
    else:
        os.environ["RAYON_NUM_THREADS"] = saved
    return times, totals


def result_entries(cloud, order, times, totals, args, checks, memory):
    """One JSON entry per (method, cells_per_radius, T) of a timed cloud and order."""
    n = cloud["points"]
    gaps = None
    if "nanoflann" in totals:
        gaps = {op: total_mismatch(totals["nanoflann"][op], totals["ckdtree"][op]) for op in ("found", "count")}

    def rate(engine, t, op):
        key = (engine, t, op)
        return n / times[key] / 1e6 if key in times else None

    def ratio(engine, peer, t, op):
        # Peer time / kesra time: throughput ratio for queries, time ratio for builds.
        key = (peer, t, op)
        return times[key] / times[(engine, t, op)] if key in times else None

    entries = []
    for t in args.threads:
        for method in args.methods:
            for c in args.cells_per_radius:
                engine = (method, c)
                entries.append({
                    **cloud, "order": order, "method": method, "cells_per_radius": c, "threads": t,
                    "repeats": args.repeats, "min_time_s": args.min_time,
                    "build_s": {"kesra": times[(engine, t, "build")], "ckdtree": times[("ckdtree", t, "build")],
                                "nanoflann": times.get(("nanoflann", t, "build"))},
                    **{f"{op}_mqps": {"kesra": rate(engine, t, op), **{peer: rate(peer, t, op) for peer in PEERS}}
                       for op in ("find", "count")},
                    "ratios": {peer: {op: ratio(engine, peer, t, op) for op in OPS} for peer in PEERS},
                    "bytes_per_point": {"kesra": memory.get(engine), "ckdtree": memory.get("ckdtree")},
                    "disagreements": checks[engine],
                    "peer_totals": totals,
                    "nanoflann_total_gap": gaps,
                })
    return entries


def parse_list(text, cast=str):
    return [cast(item) for item in text.split(",") if item]


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Benchmark kesra against scipy's cKDTree and nanoflann.")
    parser.add_argument("--quick", action="store_true", help="small data sets, one run")
    parser.add_argument("--summary", action="store_true",
                        help="only the summary table: every method at T = 2 against nanoflann, no memory probe")
    # The approximate graph method has its own benchmark (bench_graph.py).
    parser.add_argument("--methods", type=parse_list,
                        default=["auto"] + [m for m in kesra.available_methods() if m != "graph"],
                        help="comma-separated; auto is KesraNNS's default choice")
    parser.add_argument("--threads", type=lambda s: parse_list(s, int),
                        help="comma-separated thread counts (default: 1,2; 2 with --summary)")
    parser.add_argument("--datasets", type=parse_list, help="comma-separated (default: all)")
    parser.add_argument("--orders", type=parse_list, default=ORDERS,
                        help="query orders: own (the cloud's), random (a fixed permutation); default: own,random")
    parser.add_argument("--radius-rule", type=parse_list, default=RULES, dest="radius_rules",
                        help="how r is chosen: mean, median (default: both; see bench/radius_rules.py)")
    parser.add_argument("--cells-per-radius", type=lambda s: parse_list(s, int), default=[1],
                        help="comma-separated cells_per_radius values for kesra (default: 1)")
    parser.add_argument("--repeats", type=int, help="runs per measurement (default: 3; 1 with --quick)")
    parser.add_argument("--min-time", type=float,
                        help="seconds each timed run repeats its call for (default: 0.2; 0 with --quick)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "latest.json")
    args = parser.parse_args(argv)
    args.repeats = args.repeats or (1 if args.quick else 3)
    args.min_time = args.min_time if args.min_time is not None else (0.0 if args.quick else 0.2)
    args.threads = args.threads or (SUMMARY_THREADS if args.summary else [1, 2])
    for name, given, known in (("query orders", args.orders, ORDERS), ("radius rules", args.radius_rules, RULES)):
        if unknown := [item for item in given if item not in known]:
            parser.error(f"unknown {name} {unknown}; available: {known}")
    args.datasets = select(dataset_loaders(args.quick), args.datasets, parser)
    return args


def main(argv=None):
    args = parse_args(argv)
    loaders = dataset_loaders(args.quick)
    nanoflann, nanoflann_skipped = nanoflann_peer()
    if nanoflann_skipped:
        print(f"note: nanoflann column skipped: {nanoflann_skipped}", flush=True)

    rng = np.random.default_rng(0)
    results, failures = [], []
    for name in args.datasets:
        loaded = loaders[name]()
        # A loader may fix its radius; otherwise each rule chooses one.
        points, fixed_radius = loaded if isinstance(loaded, tuple) else (loaded, None)
        points, dropped = finite_rows(points)
        n = len(points)
        rules = {"fixed": float(np.float32(fixed_radius))} if fixed_radius else {
            rule: suggest_radius(points, rule) for rule in args.radius_rules}
        for rule, radius in rules.items():
            print(f"{name}: {n:,} points" + (f" ({dropped:,} NaN rows dropped)" if dropped else "")
                  + f", r = {radius:.4g} ({rule} rule)", flush=True)
            tree = cKDTree(points.astype(np.float64))
            checks = {}
            for method in args.methods:
                for c in args.cells_per_radius:
                    engine = make_engine(points, radius, method, c)
                    checks[(method, c)] = check_agreement(engine, tree, points, radius, rng)
                    if any(checks[(method, c)].values()):
                        failures.append((name, rule, f"{method}, cells_per_radius={c}", checks[(method, c)]))
                    del engine
            del tree

            chosen, choice_s = timed_choice(points, radius)
            cloud = {"dataset": name, "points": n, "nan_rows_dropped": dropped, "radius_rule": rule, "radius": radius,
                     "auto_chose": chosen, "choice_s": choice_s}
            with tempfile.TemporaryDirectory() as tmp:
                points_path = Path(tmp) / "points.npy"
                np.save(points_path, points)
                named = [method for method in args.methods if method != "auto"]
                memory = {} if args.summary else memory_per_point(points_path, radius, named, args.cells_per_radius)
                for order in args.orders:
                    if order == "own":
                        queries, queries_path = points, points_path
                    else:
                        queries = np.ascontiguousarray(points[np.random.default_rng(1).permutation(n)])
                        queries_path = Path(tmp) / "queries.npy"
                        np.save(queries_path, queries)
                    print(f"  timing {order} order", flush=True)
                    times, totals = bench_dataset(points, queries, (points_path, queries_path), radius,
                                                  args.methods, args.cells_per_radius, args.threads, args.repeats,
                                                  nanoflann, args.min_time)
                    results += result_entries(cloud, order, times, totals, args, checks, memory)

    print()
    if not args.summary:
        print(detail_table(results))
        print("x ckd, x nf: kesra throughput / cKDTree, nanoflann throughput (build: peer time / kesra time); "
              f"k = {K}, medians of {args.repeats} run(s)\n")
        print(peer_table(results))
        if nanoflann_skipped:
            print(f"nanoflann skipped: {nanoflann_skipped}")
        if table := memory_table(results):
            print("\n" + table)
        print()
    print(summary_table(results))
    if "auto" in args.methods:
        print("\n" + job_table(results))

    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
        "numpy": np.__version__, "scipy": scipy.__version__,
        "kesra": getattr(kesra, "__version__", None),
        "nanoflann": None if nanoflann_skipped else {
            "version": nanoflann_version(), "flags": FLAGS, "leaf_size": LEAF_SIZE, "build_threads": "T"},
        "nanoflann_skipped": nanoflann_skipped,
        "quick": args.quick, "k": K, "target_neighbours": NEIGHBOURS, "radius_rules": args.radius_rules,
        "orders": args.orders, "cells_per_radius": args.cells_per_radius,
        "results": results,
    }, indent=2) + "\n")
    print(f"\nwrote {args.output}")

    gaps = {(r["dataset"], r["radius_rule"], r["order"]): r["peer_totals"] for r in results
            if r["nanoflann_total_gap"] and any(gap is not None for gap in r["nanoflann_total_gap"].values())}
    for (name, rule, order), totals in gaps.items():
        print(f"note: nanoflann's totals differ from cKDTree's beyond float rounding on {name} "
              f"({rule} rule, {order} order): {totals}", file=sys.stderr)
    for name, rule, engine, check in failures:
        print(f"DISAGREEMENT with cKDTree on {name} ({rule} rule, {engine}), queries failing each check: {check}",
              file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
