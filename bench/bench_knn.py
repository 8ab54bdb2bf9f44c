"""The k-nearest find side by side: kesra's default and each method against nanoflann and
pykdtree, on every real scan of 100,000 points or more.

Usage, from the repository root:

    .venv/bin/python bench/bench_knn.py [--datasets bun0,...] [--threads 2] [--repeats 3]
        [--min-time S] [--orders own,random] [--radius-rule mean,median]

For every cloud, radius rule and query order it times, on T threads (default 2), the
find of the 16 nearest neighbours within r of every point: `find_neighbours(q, 16)` of
method "auto" (chosen as KesraNNS chooses it) and of every exact method, nanoflann's
k nearest strictly within r (bench/nanoflann_runner.py) and pykdtree's
`query(q, k=16, distance_upper_bound=r)` on float32 points (bench/pykdtree_peer.py, in
the stock-python venv of scripts/open3d-venv.sh). Each repeat runs every library once,
the kesra methods in a rotating order, each call repeated for --min-time seconds; the
table shows the medians as peer time / kesra time (above 1: kesra is faster), and the
default's whole job (build plus find) against the fastest explicit method's. Clouds are
those of bench/datasets.py with at least 100,000 finite points (cube and surface, of
1,000,000, only when named), NaN rows dropped. Results go to bench/results/knn.json.
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np

import kesra
from datasets import dataset_loaders, finite_rows
from kesra import KesraNNSEngine
from kesra.method_choice import choose_method
from nanoflann_runner import nanoflann_peer, run_nanoflann
from open3d_runner import open3d_peer, run_pykdtree
from radius_rules import RULES, suggest_radius
from timing import repeats_for, timed_steady

REPO = Path(__file__).resolve().parents[1]
K = 16
MIN_POINTS = 100_000
METHODS = ["auto"] + [m for m in kesra.available_methods() if m != "graph"]


def build(points, radius, method):
    """The engine of `method`; "auto" chooses as KesraNNS does, the choice timed with the build."""
    if method == "auto":
        method = choose_method(points, radius).method
    return KesraNNSEngine(points, radius, method=method)


def time_methods(points, queries, radius, threads, order, min_time):
    """Seconds of one steady build and find per method, taken in the given order."""
    times = {}
    for method in order:
        engine, build_s = timed_steady(build, points, radius, method, min_time=min_time)
        _, find_s = timed_steady(engine.find_neighbours, queries, K, num_threads=threads, min_time=min_time)
        times[method] = {"build": build_s, "find": find_s, "chose": engine.method}
        del engine
    return times


def bench_case(points, queries, paths, radius, args, nanoflann, python):
    """Per library, the median seconds of its find (and kesra's builds) over the repeats."""
    samples = {}
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    for repeat in range(args.repeats):
        if nanoflann:
            first = run_nanoflann(nanoflann, *paths, radius, args.threads, mode="find", k=K)
            calls = repeats_for(first["find_s"], args.min_time)
            report = run_nanoflann(nanoflann, *paths, radius, args.threads, mode="find", k=K, repeats=calls,
                                   build_repeats=1)
            samples.setdefault(("nanoflann", "find"), []).append(report["find_s"])
        if python:
            first = run_pykdtree(python, *paths, radius, args.threads, k=K)
            if first is not None:
                report = run_pykdtree(python, *paths, radius, args.threads, k=K,
                                      repeats=repeats_for(first["find_s"], args.min_time))
                samples.setdefault(("pykdtree", "find"), []).append(report["find_s"])
        shift = repeat % len(METHODS)
        for method, ops in time_methods(points, queries, radius, args.threads, METHODS[shift:] + METHODS[:shift],
                                        args.min_time).items():
            for op in ("build", "find"):
                samples.setdefault((method, op), []).append(ops[op])
            samples[(method, "chose")] = ops["chose"]
    return {key: value if isinstance(value, str) else statistics.median(value) for key, value in samples.items()}


def ratio(times, peer, method):
    return times[(peer, "find")] / times[(method, "find")] if (peer, "find") in times else None


def table(results):
    def cell(value):
        return "n/a" if value is None else f"{value:.2f}"

    head = ["cloud", "rule", "order", "auto chose"] + [f"{m} x{p}" for m in METHODS for p in ("nf", "pyk")] + [
        "auto job / best"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        row = [r["dataset"], r["rule"], r["order"], r["auto_chose"]]
        row += [cell(r["ratios"][m][p]) for m in METHODS for p in ("nanoflann", "pykdtree")]
        row.append(cell(r["auto_job_vs_best"]))
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines) + "\n\nxnf, xpyk: nanoflann's, pykdtree's find time / kesra's (above 1: kesra faster); " \
                              "auto job / best: the fastest explicit method's build + find time / auto's."


def main(argv=None):
    parser = argparse.ArgumentParser(description="k-nearest finds against nanoflann and pykdtree.")
    parser.add_argument("--datasets", type=lambda s: [x for x in s.split(",") if x])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--min-time", type=float, default=0.2)
    parser.add_argument("--orders", type=lambda s: s.split(","), default=["own", "random"])
    parser.add_argument("--radius-rule", type=lambda s: s.split(","), default=RULES, dest="rules")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "knn.json")
    args = parser.parse_args(argv)
    loaders = dataset_loaders(False, generated=("cube", "surface"))
    names = args.datasets or [name for name in loaders if name not in ("cube", "surface")]
    nanoflann, skipped = nanoflann_peer()
    if skipped:
        print(f"note: nanoflann skipped: {skipped}", flush=True)
    python, skipped = open3d_peer()
    if skipped:
        print(f"note: pykdtree skipped: {skipped}", flush=True)
    results = []
    for name in names:
        points, _ = finite_rows(loaders[name]())
        if len(points) < MIN_POINTS:
            continue
        for rule in args.rules:
            radius = suggest_radius(points, rule)
            with tempfile.TemporaryDirectory() as tmp:
                points_path = Path(tmp) / "points.npy"
                np.save(points_path, points)
                for order in args.orders:
                    queries, queries_path = points, points_path
                    if order == "random":
                        queries = np.ascontiguousarray(points[np.random.default_rng(1).permutation(len(points))])
                        queries_path = Path(tmp) / "queries.npy"
                        np.save(queries_path, queries)
                    print(f"{name}: {len(points):,} points, r = {radius:.4g} ({rule} rule), {order} order",
                          flush=True)
                    times = bench_case(points, queries, (points_path, queries_path), radius, args, nanoflann, python)
                    job = {m: times[(m, "build")] + times[(m, "find")] for m in METHODS}
                    results.append({
                        "dataset": name, "points": len(points), "rule": rule, "radius": radius, "order": order,
                        "threads": args.threads, "auto_chose": times[("auto", "chose")],
                        "seconds": {f"{lib} {op}": s for (lib, op), s in times.items() if op != "chose"},
                        "ratios": {m: {p: ratio(times, p, m) for p in ("nanoflann", "pykdtree")} for m in METHODS},
                        "auto_job_vs_best": min(job[m] for m in METHODS if m != "auto") / job["auto"],
                    })
    print("\n" + table(results))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({"k": K, "threads": args.threads, "repeats": args.repeats,
                                       "results": results}, indent=2) + "\n")
    print(f"\nwrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
