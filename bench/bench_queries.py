"""Benchmark kesra's neighbour queries against scipy's cKDTree and nanoflann.

Usage, from the repository root:

    .venv/bin/python bench/bench_queries.py [--quick] [--methods voxel,...]
        [--threads 1,2] [--datasets cube,surface,bun0,...] [--repeats N]
        [--orders own,random] [--cells-per-radius 1,2,3] [--min-time S]

For every data set, query order, method, cells_per_radius and thread count T it
times, for kesra, cKDTree and nanoflann:

- build: `KesraNNSEngine(points, r, cells_per_radius=c)` (its pool sized T via
  RAYON_NUM_THREADS) vs `cKDTree(points)` and nanoflann's tree (both always
  build on one thread);
- find: `engine.find_neighbours(q, 16, num_threads=T)`
  vs `tree.query(q, k=16, distance_upper_bound=r, workers=T)`
  vs nanoflann's k nearest strictly within r on T threads;
- count: `engine.count_neighbours(q, num_threads=T)`
  vs `tree.query_ball_point(q, r, return_length=True, workers=T)`
  vs nanoflann counting within r on T threads.

The queries are the points themselves, in the cloud's own order and in a fixed
random permutation, and r gives about 30 neighbours per point. Runs of the three
libraries are interleaved and the table shows medians and ratios (kesra
throughput / peer throughput; peer build time / kesra build time), so values
above 1 mean kesra is faster. Each run of an operation repeats it until it has
taken --min-time seconds (0.2 by default) and counts the median call, so that
small clouds, whose calls take a millisecond or less, are not timed by a single
call on a busy machine; nanoflann gets as many repeats in its own process.
cKDTree gets float64 copies made outside the timings, since that is its native
type. nanoflann runs in a small C++ program
(bench/nanoflann_peer.cpp, compiled on demand into build/bench/ with g++; skipped
when /usr/include/nanoflann.hpp is missing) over the same float32 points, so its
timings include no Python overhead. Memory per point is the growth of the
resident set while building, measured in a fresh process per engine with kesra
and cKDTree starting from the same float32 array.

Data sets: "cube" (uniform, 1,000,000 points), "surface" (lidar-like height
field, 1,000,000 points), "clustered" (1,000,000 points, half of them in dense
blobs filling 1 % of the volume; r gives about 30 neighbours outside the blobs,
so a plain grid has crowded cells inside them) and every .npy cloud in $KESRA_DATA_DIR or
../shared/data beside the repository (absent ones are skipped). Rows with NaN
are dropped for both libraries. --quick uses 100,000 generated points and a
single run to smoke-test the script.

Before timing, a few hundred queries are checked against cKDTree (neighbour
counts and distances, allowing for float32 rounding at the radius); any
disagreement is reported and makes the script exit with status 1. nanoflann's
totals of found and counted neighbours are compared with cKDTree's and a
difference beyond float rounding is reported without failing the run. A JSON
summary is written to bench/results/latest.json.
"""

import argparse
import json
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import scipy
from scipy.spatial import cKDTree

import kesra
from kesra import KesraNNSEngine, suggest_radius
from kesra.clouds import clustered_cloud, height_field_surface, sparse_radius, uniform_cube
from kesra.demo import METHODS, format_table, timed

REPO = Path(__file__).resolve().parents[1]
K = 16
TARGET_NEIGHBOURS = 30
CHECK_QUERIES = 300
# Relative slack at the radius: float32 distances differ from float64 ones by far less.
TOLERANCE = 1e-5
# Totals over all queries: nanoflann keeps float32 squared distances below r*r, cKDTree
# float64 distances up to r inclusive, so points at the radius may fall either way.
PEER_TOTAL_TOLERANCE = 1e-5
ORDERS = ["own", "random"]

NANOFLANN_HEADER = Path("/usr/include/nanoflann.hpp")
NANOFLANN_SOURCE = REPO / "bench" / "nanoflann_peer.cpp"
NANOFLANN_BINARY = REPO / "build" / "bench" / "nanoflann_peer"
NANOFLANN_FLAGS = ["-O3", "-std=c++20", "-ffp-contract=off", "-pthread"]

MEMORY_PROBE = """
import gc, os, sys
import numpy as np
path, radius, method, cells = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4])
points = np.load(path)
if method == "ckdtree":
    from scipy.spatial import cKDTree
    build = lambda: cKDTree(points)
else:
    from kesra import KesraNNSEngine
    build = lambda: KesraNNSEngine(points, radius, method=method, cells_per_radius=cells)
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


def nanoflann_peer():
    """(path of the compiled harness, None), or (None, why it is unavailable)."""
    if not NANOFLANN_HEADER.exists():
        return None, (f"{NANOFLANN_HEADER} not found; install libnanoflann-dev "
                      "(scripts/install-toolchain.sh does)")
    newest = max(NANOFLANN_SOURCE.stat().st_mtime, NANOFLANN_HEADER.stat().st_mtime)
    if NANOFLANN_BINARY.exists() and NANOFLANN_BINARY.stat().st_mtime >= newest:
        return NANOFLANN_BINARY, None
    NANOFLANN_BINARY.parent.mkdir(parents=True, exist_ok=True)
    cxx = os.environ.get("CXX", "g++")
    print(f"compiling {NANOFLANN_BINARY.relative_to(REPO)} with {cxx}", flush=True)
    try:
        out = subprocess.run([cxx, *NANOFLANN_FLAGS, "-o", str(NANOFLANN_BINARY), str(NANOFLANN_SOURCE)],
                             capture_output=True, text=True)
    except OSError as error:
        return None, f"cannot run {cxx}: {error}"
    if out.returncode != 0:
        return None, f"compiling {NANOFLANN_SOURCE.name} failed:\n{out.stderr.strip()[-2000:]}"
    return NANOFLANN_BINARY, None


def run_nanoflann(binary, points_path, queries_path, radius, threads, repeats=1):
    """Builds, finds and counts by the harness, `repeats` times each: its parsed JSON report (medians)."""
    out = subprocess.run([str(binary), "--points", str(points_path), "--queries", str(queries_path),
                          "--radius", repr(radius), "--k", str(K), "--threads", str(threads),
                          "--repeats", str(repeats)], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{binary.name} failed ({out.returncode}): {out.stderr.strip()}")
    return json.loads(out.stdout)


MAX_CALLS = 400  # per timed run, however short the call


def timed_steady(fn, *args, min_time=0.0, **kwargs):
    """(last result, median seconds per call) over calls repeated until min_time has passed."""
    result, first = timed(fn, *args, **kwargs)
    seconds, spent = [first], first
    while spent < min_time and len(seconds) < MAX_CALLS:
        del result  # a build's structure goes before the next one is made
        result, elapsed = timed(fn, *args, **kwargs)
        seconds.append(elapsed)
        spent += elapsed
    return result, statistics.median(seconds)


def repeats_for(seconds, min_time):
    """Calls that fill min_time when one takes `seconds`."""
    return min(MAX_CALLS, int(min_time / max(seconds, 1e-9)) + 1)


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


def memory_per_point(path, radius, methods, cells):
    """Resident-set growth per point while building, each engine in a fresh process.

    Keys are (method, cells_per_radius) and "ckdtree"."""
    if not Path("/proc/self/statm").exists():
        return {}

    def probe(method, c):
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path), repr(radius), method, str(c)],
                             capture_output=True, text=True, check=True)
        return float(out.stdout)

    result = {(method, c): probe(method, c) for method in methods for c in cells}
    result["ckdtree"] = probe("ckdtree", 1)
    return result


def bench_dataset(points, queries, paths, radius, methods, cells, threads, repeats, nanoflann, min_time=0.0):
    """Median seconds per (engine, T, operation) and the peers' neighbour totals.

    Engines are (method, cells_per_radius) pairs, "ckdtree" and, given the harness
    path `nanoflann`, "nanoflann"; `paths` are the .npy files of points and queries.
    """
    points64 = points.astype(np.float64)
    queries64 = points64 if queries is points else queries.astype(np.float64)
    times, totals = {}, {}
    saved = os.environ.get("RAYON_NUM_THREADS")
    for t in threads:
        os.environ["RAYON_NUM_THREADS"] = str(t)  # sizes the construction pool
        samples = {}
        for _ in range(repeats):
            tree, build = timed_steady(cKDTree, points64, min_time=min_time)
            (distances, _), find = timed_steady(tree.query, queries64, k=K, distance_upper_bound=radius, workers=t,
                                                min_time=min_time)
            counts, count = timed_steady(tree.query_ball_point, queries64, radius, return_length=True, workers=t,
                                         min_time=min_time)
            runs = {"ckdtree": {"build": build, "find": find, "count": count}}
            totals["ckdtree"] = {"found": int(np.isfinite(distances).sum()), "count": int(counts.sum())}
            del tree, distances, counts
            if nanoflann:
                report = run_nanoflann(nanoflann, *paths, radius, t)
                calls = repeats_for(min(report[f"{op}_s"] for op in ("build", "find", "count")), min_time)
                if calls > 1:
                    report = run_nanoflann(nanoflann, *paths, radius, t, calls)
                runs["nanoflann"] = {op: report[f"{op}_s"] for op in ("build", "find", "count")}
                totals["nanoflann"] = {"found": report["found_total"], "count": report["count_total"]}
            for method in methods:
                for c in cells:
                    engine, build = timed_steady(KesraNNSEngine, points, radius, method=method, cells_per_radius=c,
                                                 min_time=min_time)
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


def parse_list(text, cast=str):
    return [cast(item) for item in text.split(",") if item]


def nanoflann_version():
    """Debian package version when known: the header's own macro lags behind (0x142 in 1.4.3)."""
    try:
        out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "libnanoflann-dev"],
                             capture_output=True, text=True)
        if out.returncode == 0 and out.stdout:
            return out.stdout
    except OSError:
        pass
    match = re.search(r"#define\s+NANOFLANN_VERSION\s+(0x[0-9a-fA-F]+)", NANOFLANN_HEADER.read_text())
    return match and match.group(1)


def fmt(value, spec=".2f"):
    return "-" if value is None else format(value, spec)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Benchmark kesra against scipy's cKDTree and nanoflann.")
    parser.add_argument("--quick", action="store_true", help="small data sets, one run")
    # The approximate graph method has its own benchmark (bench_graph.py).
    exact = [m for m in METHODS if m != "graph"]
    parser.add_argument("--methods", type=parse_list, default=exact, help="comma-separated")
    parser.add_argument("--threads", type=lambda s: parse_list(s, int), default=[1, 2],
                        help="comma-separated thread counts (default: 1,2)")
    parser.add_argument("--datasets", type=parse_list, help="comma-separated (default: all)")
    parser.add_argument("--orders", type=parse_list, default=ORDERS,
                        help="query orders: own (the cloud's), random (a fixed permutation); default: own,random")
    parser.add_argument("--cells-per-radius", type=lambda s: parse_list(s, int), default=[1],
                        help="comma-separated cells_per_radius values for kesra (default: 1)")
    parser.add_argument("--repeats", type=int, help="runs per measurement (default: 3; 1 with --quick)")
    parser.add_argument("--min-time", type=float,
                        help="seconds each timed run repeats its call for (default: 0.2; 0 with --quick)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "latest.json")
    args = parser.parse_args(argv)
    repeats = args.repeats or (1 if args.quick else 3)
    min_time = args.min_time if args.min_time is not None else (0.0 if args.quick else 0.2)
    cells = args.cells_per_radius
    if unknown_orders := [order for order in args.orders if order not in ORDERS]:
        parser.error(f"unknown query orders {unknown_orders}; available: {ORDERS}")

    loaders = dataset_loaders(args.quick)
    names = args.datasets or list(loaders)
    unknown = [name for name in names if name not in loaders]
    if not data_dir().is_dir():
        print(f"note: {data_dir()} not found, real clouds skipped")
        names = [name for name in names if name in loaders]
    elif unknown:
        parser.error(f"unknown data sets {unknown}; available: {list(loaders)} "
                     f"(real clouds are read from {data_dir()})")

    nanoflann, nanoflann_skipped = nanoflann_peer()
    if nanoflann_skipped:
        print(f"note: nanoflann column skipped: {nanoflann_skipped}", flush=True)

    rng = np.random.default_rng(0)
    rows, peer_rows, memory_rows, summary, failures, peer_gaps = [], [], [], [], [], []
    for name in names:
        loaded = loaders[name]()
        # A loader may fix its radius; otherwise it is chosen for TARGET_NEIGHBOURS.
        points, fixed_radius = loaded if isinstance(loaded, tuple) else (loaded, None)
        points = np.ascontiguousarray(points, dtype=np.float32)
        finite = np.isfinite(points).all(axis=1)
        dropped = int((~finite).sum())
        points = np.ascontiguousarray(points[finite])
        radius = float(np.float32(fixed_radius or suggest_radius(points, TARGET_NEIGHBOURS, "mean")))
        n = len(points)
        print(f"{name}: {n:,} points" + (f" ({dropped:,} NaN rows dropped)" if dropped else "")
              + f", r = {radius:.4g}", flush=True)

        tree = cKDTree(points.astype(np.float64))
        checks = {}
        for method in args.methods:
            for c in cells:
                engine = KesraNNSEngine(points, radius, method=method, cells_per_radius=c)
                checks[(method, c)] = check_agreement(engine, tree, points, radius, rng)
                if any(checks[(method, c)].values()):
                    failures.append((name, f"{method}, cells_per_radius={c}", checks[(method, c)]))
                del engine
        del tree

        with tempfile.TemporaryDirectory() as tmp:
            points_path = Path(tmp) / "points.npy"
            np.save(points_path, points)
            memory = memory_per_point(points_path, radius, args.methods, cells)
            for order in args.orders:
                if order == "own":
                    queries, queries_path = points, points_path
                else:
                    queries = np.ascontiguousarray(points[np.random.default_rng(1).permutation(n)])
                    queries_path = Path(tmp) / "queries.npy"
                    np.save(queries_path, queries)
                print(f"  timing {order} order", flush=True)
                times, totals = bench_dataset(points, queries, (points_path, queries_path), radius,
                                              args.methods, cells, args.threads, repeats, nanoflann, min_time)

                gaps = None
                if "nanoflann" in totals:
                    gaps = {op: total_mismatch(totals["nanoflann"][op], totals["ckdtree"][op])
                            for op in ("found", "count")}
                    if any(gap is not None for gap in gaps.values()):
                        peer_gaps.append((name, order, totals))

                def rate(engine, t, op):
                    key = (engine, t, op)
                    return n / times[key] / 1e6 if key in times else None

                def ratio(engine, peer, t, op):
                    # Peer time / kesra time: throughput ratio for queries, time ratio for builds.
                    key = (peer, t, op)
                    return times[key] / times[(engine, t, op)] if key in times else None

                for t in args.threads:
                    peer_rows.append([name, order, t,
                                      f"{times[('ckdtree', t, 'build')]:.3f}",
                                      fmt(times.get(("nanoflann", t, "build")), ".3f"),
                                      f"{rate('ckdtree', t, 'find'):.2f}", fmt(rate("nanoflann", t, "find")),
                                      f"{rate('ckdtree', t, 'count'):.2f}", fmt(rate("nanoflann", t, "count"))])
                    for method in args.methods:
                        for c in cells:
                            engine = (method, c)
                            build = times[(engine, t, "build")]
                            ratios = {peer: {op: ratio(engine, peer, t, op) for op in ("build", "find", "count")}
                                      for peer in ("ckdtree", "nanoflann")}
                            rows.append([name, f"{n:,}", f"{radius:.3g}", order, method, c, t,
                                         f"{build:.3f}", fmt(ratios["ckdtree"]["build"]),
                                         fmt(ratios["nanoflann"]["build"]),
                                         f"{rate(engine, t, 'find'):.2f}", fmt(ratios["ckdtree"]["find"]),
                                         fmt(ratios["nanoflann"]["find"]),
                                         f"{rate(engine, t, 'count'):.2f}", fmt(ratios["ckdtree"]["count"]),
                                         fmt(ratios["nanoflann"]["count"])])
                            summary.append({
                                "dataset": name, "points": n, "nan_rows_dropped": dropped, "radius": radius,
                                "order": order, "method": method, "cells_per_radius": c, "threads": t,
                                "repeats": repeats,
                                "min_time_s": min_time,
                                "build_s": {"kesra": build, "ckdtree": times[("ckdtree", t, "build")],
                                            "nanoflann": times.get(("nanoflann", t, "build"))},
                                "find_mqps": {"kesra": rate(engine, t, "find"), "ckdtree": rate("ckdtree", t, "find"),
                                              "nanoflann": rate("nanoflann", t, "find")},
                                "count_mqps": {"kesra": rate(engine, t, "count"),
                                               "ckdtree": rate("ckdtree", t, "count"),
                                               "nanoflann": rate("nanoflann", t, "count")},
                                "ratios": ratios,
                                "bytes_per_point": {"kesra": memory.get(engine), "ckdtree": memory.get("ckdtree")},
                                "disagreements": checks[engine],
                                "peer_totals": totals,
                                "nanoflann_total_gap": gaps,
                            })
        if memory:
            for method in args.methods:
                for c in cells:
                    memory_rows.append([name, method, c, f"{memory[(method, c)]:.1f}", f"{memory['ckdtree']:.1f}"])

    print()
    print(format_table(["dataset", "N", "r", "order", "method", "cells", "T",
                        "build s", "x ckd", "x nf",
                        "find Mq/s", "x ckd", "x nf",
                        "count Mq/s", "x ckd", "x nf"], rows))
    print("x ckd, x nf: kesra throughput / cKDTree, nanoflann throughput (build: peer time / kesra time); "
          f"k = {K}, medians of {repeats} run(s)")
    print()
    print(format_table(["dataset", "order", "T", "ckd build s", "nf build s",
                        "ckd find Mq/s", "nf find Mq/s", "ckd count Mq/s", "nf count Mq/s"], peer_rows))
    if nanoflann_skipped:
        print(f"nanoflann skipped: {nanoflann_skipped}")
    if memory_rows:
        print()
        print(format_table(["dataset", "method", "cells", "kesra B/pt", "cKDTree B/pt"], memory_rows))

    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
        "numpy": np.__version__, "scipy": scipy.__version__,
        "kesra": getattr(kesra, "__version__", None),
        "nanoflann": None if nanoflann_skipped else {
            "version": nanoflann_version(), "flags": NANOFLANN_FLAGS, "leaf_size": 16},
        "nanoflann_skipped": nanoflann_skipped,
        "quick": args.quick, "k": K, "target_neighbours": TARGET_NEIGHBOURS,
        "orders": args.orders, "cells_per_radius": cells,
        "results": summary,
    }, indent=2) + "\n")
    print(f"\nwrote {args.output}")

    for name, order, totals in peer_gaps:
        print(f"note: nanoflann's totals differ from cKDTree's beyond float rounding on {name} ({order} order): "
              f"{totals}", file=sys.stderr)
    for name, engine, check in failures:
        print(f"DISAGREEMENT with cKDTree on {name} ({engine}), queries failing each check: {check}",
              file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
