"""`python -m kesra demo`: build the default search and an engine per method over a point
cloud, time its queries beside scipy's cKDTree, show how far the methods' answers agree,
then its clusters and outliers beside scikit-learn's DBSCAN."""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
from numpy.typing import NDArray

from kesra import KesraNNSEngine, available_methods, demo_clusters, suggest_radius
from kesra.clouds import height_field_surface
from kesra.commands import RADIUS_TYPE, THREADS_TYPE, count_type
from kesra.nns import KesraNNS
from kesra.origin import shift_for, to_float32
from kesra.pointcloud_files import read_points

T = TypeVar("T")

K = 16
SHOWN = 8  # neighbours printed per example row
TARGET_NEIGHBOURS = 30


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "demo",
        help="time neighbour queries over a lidar-like surface",
        description="Build an engine per search method over a synthetic height-field "
        "surface (or a point file given with --input), find the 16 nearest neighbours and "
        "count the neighbours of every point within a radius that gives about 30 per point; "
        "scipy's cKDTree answers the same queries alongside when scipy is installed, and the "
        "answers of every method are compared with the first one's.",
    )
    parser.add_argument("--points", type=count_type(1), default=1_000_000, metavar="N",
                        help="points in the generated surface (default: 1,000,000)")
    parser.add_argument("--threads", type=THREADS_TYPE, default=0, metavar="T",
                        help="worker threads for building and querying (default: all CPUs)")
    parser.add_argument("--input", type=Path, metavar="FILE",
                        help="use this point file (.npy, .xyz/.txt/.csv, .ply, .las/.laz; see "
                        "'count --help') instead of the generated surface; rows with NaN are dropped")
    parser.add_argument("--radius", type=RADIUS_TYPE, metavar="R",
                        help="search radius (default: chosen for about 30 neighbours per point)")
    parser.set_defaults(func=run)


def format_table(headers: Sequence[object], rows: Sequence[Sequence[object]]) -> str:
    """Aligned text table: first column left-aligned, the others right-aligned."""
    cells = [[str(c) for c in headers]] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]

    def line(row: list[str]) -> str:
        return "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths)))

    return "\n".join([line(cells[0]), "  ".join("-" * w for w in widths)] + [line(r) for r in cells[1:]])


def timed(fn: Callable[..., T], *args: Any, **kwargs: Any) -> tuple[T, float]:
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return result, time.perf_counter() - start


def load_points(args: argparse.Namespace) -> tuple[NDArray[np.float32], str]:
    if args.input is None:
        return height_field_surface(args.points), "height-field surface"
    points = to_float32(raw := read_points(args.input), shift_for(raw))
    # NaN distances count as within the radius, so every NaN row would match every
    # other NaN row: a slow and meaningless demo on organised clouds.
    finite = np.isfinite(points).all(axis=1)
    label = str(args.input) + (f" ({(~finite).sum():,} non-finite rows dropped)" if not finite.all() else "")
    return np.ascontiguousarray(points[finite]), label


Answers = tuple[NDArray[Any], NDArray[Any], NDArray[Any]]  # neighbour rows, distances, counts


def scipy_peer(points: NDArray[np.float32], radius: float, threads: int) -> tuple[list[object], Answers] | None:
    """scipy's cKDTree on the same cloud, queries and radius (it works in float64), when
    scipy is installed: its table row and its answers, missing neighbours as -1."""
    try:
        from scipy.spatial import cKDTree  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    n, workers = len(points), threads or -1
    tree, build_s = timed(cKDTree, points)
    (distances, indices), find_s = timed(tree.query, points, K, distance_upper_bound=radius, workers=workers)
    counts, count_s = timed(tree.query_ball_point, points, radius, return_length=True, workers=workers)
    found = indices < n
    row: list[object] = ["scipy cKDTree", f"{n:,}", f"{radius:.4g}", f"{build_s:.3f}", f"{find_s:.3f}",
                         f"{n / find_s / 1e6:.2f}", f"{count_s:.3f}", f"{n / count_s / 1e6:.2f}",
                         "-", "-", "-", "float64"]
    return row, (np.where(found, indices, -1), np.where(found, distances, -1.0), counts)


def recall(exact: NDArray[np.int32], found: NDArray[np.int32]) -> float:
    """The share of the exact neighbours found, over up to 20,000 evenly spaced rows."""
    rows = range(0, len(exact), max(1, len(exact) // 20000))
    wanted = exact >= 0
    hits = sum(int(np.isin(exact[i][wanted[i]], found[i]).sum()) for i in rows)
    return hits / max(sum(int(wanted[i].sum()) for i in rows), 1)


def agreement(name: str, answers: Answers, reference: str, expected: Answers) -> tuple[str, str]:
    """How one method's answers compare with the reference method's: the method's label
    and one line."""
    n = len(expected[0])
    rows_same = int((answers[0] == expected[0]).all(axis=1).sum())
    counts_same = int((answers[2] == expected[2]).sum())

    def share(k: int) -> str:
        return "every point" if k == n else f"{k:,} of {n:,} points"

    if name in ("graph", "scipy cKDTree"):
        # As sets: equally distant neighbours may come in any order.
        sets_same = int((np.sort(answers[0], axis=1) == np.sort(expected[0], axis=1)).all(axis=1).sum())
        total = float(answers[2].sum()) / max(float(expected[2].sum()), 1.0)
        return (f"{name} ({'approximate' if name == 'graph' else 'float64 distances'})",
                f"the same neighbours for {share(sets_same)} (recall {recall(expected[0], answers[0]):.4f}), "
                f"the same count for {share(counts_same)} (sum x{total:.4f})")
    if counts_same < n or not np.array_equal(answers[1], expected[1]):
        return name, (f"differs from {reference}: the same neighbour rows for {share(rows_same)}, "
                      f"the same count for {share(counts_same)}")
    if rows_same < n:
        return name, (f"the same distances and counts as {reference} for every point; the neighbour "
                      f"rows of {n - rows_same:,} points differ only among equally distant neighbours")
    return name, f"the same neighbours, distances and counts as {reference} for every point"


def run(args: argparse.Namespace) -> int:
    if args.threads > 0:
        # Construction sizes its pool from the environment.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    points, label = load_points(args)
    n = len(points)
    if n == 0:
        raise ValueError(f"{args.input}: no points with finite coordinates")
    if n <= TARGET_NEIGHBOURS and not args.radius:
        raise ValueError(f"{label}: {n:,} points are too few to choose a radius for {TARGET_NEIGHBOURS} "
                         "neighbours; give one with --radius")
    radius = args.radius or suggest_radius(points, TARGET_NEIGHBOURS, "mean")
    print(f"{label}: {n:,} points, radius {radius:.4g}, k = {K}, "
          f"threads = {args.threads or os.cpu_count()}")

    rows: list[list[object]] = []
    results: dict[str, Answers] = {}
    # The default first: what a user gets from KesraNNS(points, radius).
    nns, auto_s = timed(KesraNNS, points, radius)
    (indices, distances), find_s = timed(nns.find_neighbours, points, K, num_threads=args.threads, progress=True)
    counts, count_s = timed(nns.count_neighbours, points, num_threads=args.threads, progress=True)
    rows.append([f"auto ({nns.method})", f"{n:,}", f"{radius:.4g}", f"{auto_s:.3f}", f"{find_s:.3f}",
                 f"{n / find_s / 1e6:.2f}", f"{count_s:.3f}", f"{n / count_s / 1e6:.2f}", "-", "-", "-",
                 nns.method_choice.describe() if nns.method_choice else "-"])
    results["auto"] = (indices, distances, counts)
    for method in available_methods():
        engine, build_s = timed(KesraNNSEngine, points, radius, method=method)
        (indices, distances), find_s = timed(
            engine.find_neighbours, points, K, num_threads=args.threads, progress=True)
        counts, count_s = timed(engine.count_neighbours, points, num_threads=args.threads, progress=True)
        stats: dict[str, Any] = dict(engine.grid_stats() or {})
        extra = ", ".join(f"{key} {stats[key]}" for key in ("num_subtrees", "graph_degree") if key in stats)
        rows.append([
            method, f"{len(engine):,}", f"{radius:.4g}",
            f"{build_s:.3f}", f"{find_s:.3f}", f"{n / find_s / 1e6:.2f}",
            f"{count_s:.3f}", f"{n / count_s / 1e6:.2f}",
            stats.get("num_cells", "-"), stats.get("max_points_per_cell", "-"),
            f"{stats['mean_points_per_cell']:.1f}" if stats else "-", extra or "-",
        ])
        results[method] = (indices, distances, counts)
    if peer := scipy_peer(points, radius, args.threads):
        rows.append(peer[0])
        results["scipy cKDTree"] = peer[1]

    print()
    print(format_table(["method", "N", "r", "build s", "find s", "find Mq/s", "count s",
                        "count Mq/s", "cells", "max/cell", "mean/cell", "notes"], rows))
    reference, (indices, distances, counts) = next(iter(results.items()))
    print(f"\nFirst query points as {reference} answers them (neighbour rows, distances, count within r):")
    for i in range(min(3, n)):
        found = int((indices[i] >= 0).sum())
        more = f" ... ({found} found)" if found > SHOWN else ""
        print(f"  point {i}: {int(counts[i])} within r")
        print("    rows      " + " ".join(f"{j:>8}" for j in indices[i][:min(found, SHOWN)]) + more)
        print("    distances " + " ".join(f"{d:>8.4f}" for d in distances[i][:min(found, SHOWN)])
              + (" ..." if more else ""))
    # Methods that agree alike share a line.
    lines: dict[str, list[str]] = {}
    for name, answers in list(results.items())[1:]:
        label, line = agreement(name, answers, reference, results[reference])
        lines.setdefault(line, []).append(label)
    print(f"\nHow the others agree with {reference}, over all {n:,} points:")
    for line, labels in lines.items():
        print(f"  {', '.join(labels)}: {line}")
    demo_clusters.show(nns, points, args.threads)
    return 0
