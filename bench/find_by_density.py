"""Where each method wins: k-nearest finds timed by how crowded the query's ball is.

Usage, from the repository root:

    .venv/bin/python bench/find_by_density.py [--datasets bun0,...] [--radius-rule mean]
        [--methods voxel,hybrid,kdtree] [--groups 5] [--threads 2] [--min-time S]

For every real cloud in the data folder (or those named), the cloud's own points are split into groups of equal size by
their number of neighbours within r (as count_neighbours gives it), each group kept in
the cloud's own order. Each group is answered alone by `find_neighbours(q, 16)` on T
threads, every method in turn, and the table shows the rate of each method and its
time over the fastest one's. A real scan mixes sparse and crowded parts; a method's
figure over the whole scan hides which of them it loses on.
"""

import argparse

import numpy as np

from datasets import dataset_loaders, finite_rows, select
from radius_rules import suggest_radius
from timing import timed_steady

from kesra import KesraNNSEngine

K = 16


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--datasets", type=lambda v: v.split(","), help="comma-separated (default: every real cloud)")
    parser.add_argument("--radius-rule", default="mean", choices=["mean", "median"])
    parser.add_argument("--methods", default="voxel,hybrid,kdtree")
    parser.add_argument("--groups", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--min-time", type=float, default=0.3)
    args = parser.parse_args()
    methods = args.methods.split(",")
    loaders = dataset_loaders(quick=False, generated=())
    for name in select(loaders, args.datasets, parser):
        points = finite_rows(loaders[name]())[0]
        radius = suggest_radius(points, args.radius_rule)
        engines = {m: KesraNNSEngine(points, radius, m) for m in methods}
        counts = engines[methods[0]].count_neighbours(points, num_threads=args.threads)
        # Groups by count, each in the cloud's own order.
        by_count = np.argsort(counts, kind="stable")
        print(f"\n{name}: {len(points):,} points, r = {radius:.4g} ({args.radius_rule} rule), T = {args.threads}")
        print(f"{'neighbours':>12} {'mean':>6}  " + "  ".join(f"{m + ' Mq/s':>12}" for m in methods)
              + "  " + "  ".join(f"{m + ' / best':>13}" for m in methods))
        for group in np.array_split(by_count, args.groups):
            rows = np.sort(group)
            queries = np.ascontiguousarray(points[rows])
            seconds = {m: timed_steady(e.find_neighbours, queries, K, num_threads=args.threads,
                                       min_time=args.min_time)[1] for m, e in engines.items()}
            best = min(seconds.values())
            c = counts[rows]
            print(f"{f'{c.min()}-{c.max()}':>12} {c.mean():6.1f}  "
                  + "  ".join(f"{len(rows) / seconds[m] / 1e6:12.2f}" for m in methods)
                  + "  " + "  ".join(f"{seconds[m] / best:13.2f}" for m in methods))


if __name__ == "__main__":
    main()
