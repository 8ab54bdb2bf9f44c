"""Benchmark the approximate "graph" method against the exact grid, in the same process.

Usage, from the repository root:

    .venv/bin/python bench/bench_graph.py [--quick] [--threads 2] [--datasets cube,surface,...]

For every data set (queries are the points themselves, r gives about 30 neighbours) it
builds an exact "voxel" engine as the reference and "graph" engines with graph_degree
8, 16 and 32, and reports: build time; find_neighbours throughput (k = 16) and recall
(the fraction of the exact k nearest within r that the graph returns); count_neighbours
throughput and the ratio of the graph's counts to the exact counts. Rows with NaN are
dropped. A JSON summary is written to bench/results/graph.json.
"""

import argparse
import json
from pathlib import Path

import numpy as np

from kesra import KesraNNSEngine, suggest_radius
from kesra.clouds import height_field_surface, uniform_cube
from kesra.demo import format_table, timed

REPO = Path(__file__).resolve().parents[1]
K = 16
DEGREES = (8, 16, 32)


def loaders(quick):
    n = 100_000 if quick else 1_000_000
    found = {"cube": lambda: uniform_cube(n), "surface": lambda: height_field_surface(n)}
    for path in sorted((REPO.parent / "shared" / "data").glob("*.npy")):
        found[path.stem] = lambda path=path: np.load(path)
    return found


def recall(found, exact):
    """Fraction of the exact neighbours (row numbers) that the approximate rows contain."""
    hits = total = 0
    for got, want in zip(found, exact):
        want = want[want >= 0]
        hits += np.isin(want, got).sum()
        total += len(want)
    return hits / total if total else 1.0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--datasets", help="comma-separated (default: all)")
    args = parser.parse_args(argv)
    available = loaders(args.quick)
    names = args.datasets.split(",") if args.datasets else list(available)
    rows, summary = [], []
    for name in names:
        points = np.asarray(available[name](), dtype=np.float32)
        points = np.ascontiguousarray(points[np.isfinite(points).all(axis=1)])
        n, r = len(points), float(np.float32(suggest_radius(points, 30, "mean")))
        exact = KesraNNSEngine(points, r)
        (exact_idx, _), exact_find = timed(exact.find_neighbours, points, K, num_threads=args.threads)
        exact_counts, exact_count = timed(exact.count_neighbours, points, num_threads=args.threads)
        rows.append([name, f"{n:,}", "voxel", "-", "-", f"{n / exact_find / 1e6:.2f}", "1.000",
                     f"{n / exact_count / 1e6:.2f}", "1.000"])
        sample = np.random.default_rng(0).choice(n, min(n, 20_000), replace=False)
        for degree in DEGREES:
            engine, build = timed(KesraNNSEngine, points, r, "graph", graph_degree=degree)
            (idx, _), find = timed(engine.find_neighbours, points, K, num_threads=args.threads)
            counts, count = timed(engine.count_neighbours, points, num_threads=args.threads)
            rec = float(recall(idx[sample], exact_idx[sample]))
            ratio = float(counts.sum() / exact_counts.sum())
            rows.append([name, f"{n:,}", "graph", degree, f"{build:.3f}", f"{n / find / 1e6:.2f}", f"{rec:.3f}",
                         f"{n / count / 1e6:.2f}", f"{ratio:.3f}"])
            summary.append({"dataset": name, "points": n, "radius": r, "degree": degree, "build_s": build,
                            "find_mqps": n / find / 1e6, "recall": rec, "count_mqps": n / count / 1e6,
                            "count_ratio": ratio, "exact_find_mqps": n / exact_find / 1e6,
                            "exact_count_mqps": n / exact_count / 1e6})
        print(f"{name}: done", flush=True)
    print()
    print(format_table(["dataset", "N", "method", "degree", "build s", "find Mq/s", "recall",
                        "count Mq/s", "count ratio"], rows))
    print(f"k = {K}, T = {args.threads}; recall and count ratio against the exact voxel engine")
    out = REPO / "bench" / "results" / "graph.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(summary, indent=2))


if __name__ == "__main__":
    main()
