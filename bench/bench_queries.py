"""Benchmark kesra's neighbour queries against scipy's cKDTree, in the same process.

Usage, from the repository root:

    .venv/bin/python bench/bench_queries.py [--quick] [--methods voxel,...]
        [--threads 1,2] [--datasets cube,surface,bun0,...] [--repeats N]

For every data set, method and thread count T it times, for kesra and cKDTree:

- build: `KesraNNSEngine(points, r)` (its pool sized T via RAYON_NUM_THREADS)
  vs `cKDTree(points)` (which always builds on one thread);
- find: `engine.find_neighbours(q, 16, num_threads=T)`
  vs `tree.query(q, k=16, distance_upper_bound=r, workers=T)`;
- count: `engine.count_neighbours(q, num_threads=T)`
  vs `tree.query_ball_point(q, r, return_length=True, workers=T)`.

The queries are the points themselves and r gives about 30 neighbours per point.
Runs of the two libraries are interleaved and the table shows medians and ratios
(kesra throughput / cKDTree throughput; cKDTree build time / kesra build time),
so values above 1 mean kesra is faster. cKDTree gets float64 copies made outside
the timings, since that is its native type. Memory per point is the growth of
the resident set while building, measured in a fresh process per engine with
both libraries starting from the same float32 array.

Data sets: "cube" (uniform, 1,000,000 points), "surface" (lidar-like height
field, 1,000,000 points), "clustered" (1,000,000 points, half of them in dense
blobs filling 1 % of the volume; r gives about 30 neighbours outside the blobs,
so a plain grid has crowded cells inside them) and every .npy cloud in $KESRA_DATA_DIR or
../shared/data beside the repository (absent ones are skipped). Rows with NaN
are dropped for both libraries. --quick uses 100,000 generated points and a
single run to smoke-test the script.

Before timing, a few hundred queries are checked against cKDTree (neighbour
counts and distances, allowing for float32 rounding at the radius); any
disagreement is reported and makes the script exit with status 1. A JSON
summary is written to bench/results/latest.json.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import scipy
from scipy.spatial import cKDTree

import kesra
from kesra import KesraNNSEngine
from kesra.clouds import clustered_cloud, height_field_surface, radius_for_neighbours, sparse_radius, uniform_cube
from kesra.demo import METHODS, format_table, timed

REPO = Path(__file__).resolve().parents[1]
K = 16
TARGET_NEIGHBOURS = 30
CHECK_QUERIES = 300
# Relative slack at the radius: float32 distances differ from float64 ones by far less.
TOLERANCE = 1e-5

MEMORY_PROBE = """
import gc, os, sys
import numpy as np
path, radius, method = sys.argv[1], float(sys.argv[2]), sys.argv[3]
points = np.load(path)
if method == "ckdtree":
    from scipy.spatial import cKDTree
    build = lambda: cKDTree(points)
else:
    from kesra import KesraNNSEngine
    build = lambda: KesraNNSEngine(points, radius, method=method)
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
gc.collect()
before = rss()
engine = build()
print((rss() - before) / len(points))
"""


def data_dir():
    return Path(os.environ.get("KESRA_DATA_DIR") or REPO.parent / "shared" / "data")


def dataset_loaders(quick):
    n = 100_000 if quick else 1_000_000
    loaders = {"cube": lambda: uniform_cube(n), "surface": lambda: height_field_surface(n),
               "clustered": lambda: (clustered_cloud(n), sparse_radius(n))}
    for path in sorted(data_dir().glob("*.npy")):
        loaders[path.stem] = lambda path=path: np.load(path)
    return loaders


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


def memory_per_point(points, radius, methods):
    """Resident-set growth per point while building, each engine in a fresh process."""
    if not Path("/proc/self/statm").exists():
        return {}
    result = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "points.npy"
        np.save(path, points)
        for name in [*methods, "ckdtree"]:
            out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path), repr(radius), name],
                                 capture_output=True, text=True, check=True)
            result[name] = float(out.stdout)
    return result


def bench_dataset(points, radius, methods, threads, repeats):
    """Median seconds per (method, T, operation), method "ckdtree" included."""
    points64 = points.astype(np.float64)
    times = {}
    saved = os.environ.get("RAYON_NUM_THREADS")
    for t in threads:
        os.environ["RAYON_NUM_THREADS"] = str(t)  # sizes the construction pool
        samples = {}
        for _ in range(repeats):
            tree, build = timed(cKDTree, points64)
            runs = {"ckdtree": {
                "build": build,
                "find": timed(tree.query, points64, k=K, distance_upper_bound=radius, workers=t)[1],
                "count": timed(tree.query_ball_point, points64, radius, return_length=True, workers=t)[1],
            }}
            del tree
            for method in methods:
                engine, build = timed(KesraNNSEngine, points, radius, method=method)
                runs[method] = {
                    "build": build,
                    "find": timed(engine.find_neighbours, points, K, num_threads=t)[1],
                    "count": timed(engine.count_neighbours, points, num_threads=t)[1],
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
    return times


def parse_list(text, cast=str):
    return [cast(item) for item in text.split(",") if item]


def main(argv=None):
    parser = argparse.ArgumentParser(description="Benchmark kesra against scipy's cKDTree.")
    parser.add_argument("--quick", action="store_true", help="small data sets, one run")
    # The approximate graph method has its own benchmark (bench_graph.py).
    exact = [m for m in METHODS if m != "graph"]
    parser.add_argument("--methods", type=parse_list, default=exact, help="comma-separated")
    parser.add_argument("--threads", type=lambda s: parse_list(s, int), default=[1, 2],
                        help="comma-separated thread counts (default: 1,2)")
    parser.add_argument("--datasets", type=parse_list, help="comma-separated (default: all)")
    parser.add_argument("--repeats", type=int, help="runs per measurement (default: 3; 1 with --quick)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "latest.json")
    args = parser.parse_args(argv)
    repeats = args.repeats or (1 if args.quick else 3)

    loaders = dataset_loaders(args.quick)
    names = args.datasets or list(loaders)
    unknown = [name for name in names if name not in loaders]
    if not data_dir().is_dir():
        print(f"note: {data_dir()} not found, real clouds skipped")
        names = [name for name in names if name in loaders]
    elif unknown:
        parser.error(f"unknown data sets {unknown}; available: {list(loaders)} "
                     f"(real clouds are read from {data_dir()})")

    rng = np.random.default_rng(0)
    rows, memory_rows, summary, failures = [], [], [], []
    for name in names:
        loaded = loaders[name]()
        # A loader may fix its radius; otherwise it is chosen for TARGET_NEIGHBOURS.
        points, fixed_radius = loaded if isinstance(loaded, tuple) else (loaded, None)
        points = np.ascontiguousarray(points, dtype=np.float32)
        finite = np.isfinite(points).all(axis=1)
        dropped = int((~finite).sum())
        points = np.ascontiguousarray(points[finite])
        radius = float(np.float32(fixed_radius or radius_for_neighbours(points, TARGET_NEIGHBOURS)))
        n = len(points)
        print(f"{name}: {n:,} points" + (f" ({dropped:,} NaN rows dropped)" if dropped else "")
              + f", r = {radius:.4g}", flush=True)

        tree = cKDTree(points.astype(np.float64))
        checks = {}
        for method in args.methods:
            checks[method] = check_agreement(KesraNNSEngine(points, radius, method=method),
                                             tree, points, radius, rng)
            if any(checks[method].values()):
                failures.append((name, method, checks[method]))
        del tree

        times = bench_dataset(points, radius, args.methods, args.threads, repeats)
        memory = memory_per_point(points, radius, args.methods)
        for method in args.methods:
            for t in args.threads:
                build, ckd_build = times[(method, t, "build")], times[("ckdtree", t, "build")]
                rate = {op: n / times[(method, t, op)] / 1e6 for op in ("find", "count")}
                ckd_rate = {op: n / times[("ckdtree", t, op)] / 1e6 for op in ("find", "count")}
                rows.append([name, f"{n:,}", f"{radius:.3g}", method, t,
                             f"{build:.3f}", f"{ckd_build:.3f}", f"{ckd_build / build:.2f}",
                             f"{rate['find']:.2f}", f"{ckd_rate['find']:.2f}",
                             f"{rate['find'] / ckd_rate['find']:.2f}",
                             f"{rate['count']:.2f}", f"{ckd_rate['count']:.2f}",
                             f"{rate['count'] / ckd_rate['count']:.2f}"])
                summary.append({
                    "dataset": name, "points": n, "nan_rows_dropped": dropped, "radius": radius,
                    "method": method, "threads": t, "repeats": repeats,
                    "build_s": {"kesra": build, "ckdtree": ckd_build},
                    "find_mqps": {"kesra": rate["find"], "ckdtree": ckd_rate["find"]},
                    "count_mqps": {"kesra": rate["count"], "ckdtree": ckd_rate["count"]},
                    "ratios": {"build": ckd_build / build,
                               "find": rate["find"] / ckd_rate["find"],
                               "count": rate["count"] / ckd_rate["count"]},
                    "bytes_per_point": {"kesra": memory.get(method), "ckdtree": memory.get("ckdtree")},
                    "disagreements": checks[method],
                })
            if memory:
                memory_rows.append([name, method, f"{memory[method]:.1f}", f"{memory['ckdtree']:.1f}"])

    print()
    print(format_table(["dataset", "N", "r", "method", "T",
                        "build s", "ckd build s", "x",
                        "find Mq/s", "ckd find Mq/s", "x",
                        "count Mq/s", "ckd count Mq/s", "x"], rows))
    print("x: kesra throughput / cKDTree throughput (build: cKDTree time / kesra time); "
          f"k = {K}, medians of {repeats} run(s)")
    if memory_rows:
        print()
        print(format_table(["dataset", "method", "kesra B/pt", "cKDTree B/pt"], memory_rows))

    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
        "numpy": np.__version__, "scipy": scipy.__version__,
        "kesra": getattr(kesra, "__version__", None),
        "quick": args.quick, "k": K, "target_neighbours": TARGET_NEIGHBOURS,
        "results": summary,
    }, indent=2) + "\n")
    print(f"\nwrote {args.output}")

    for name, method, check in failures:
        print(f"DISAGREEMENT with cKDTree on {name} ({method}), queries failing each check: {check}",
              file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
