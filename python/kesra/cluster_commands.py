"""`kesra cluster` and `kesra outliers`: clusters and outlier flags of a point file."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kesra.commands import FORMATS, Search, add_common, check_output, count_type
from kesra.normals_command import finite_float
from kesra.pointcloud_files import (
    LAS_SUFFIXES,
    TEXT_SUFFIXES,
    PointFileError,
    check_las_output,
    las_coordinates,
    ply_coordinates,
    read_las,
    read_ply_data,
    read_points,
    replaced_atomically,
    suffix_of,
    write_arrays,
    write_las,
    write_las_with_dimensions,
    write_ply,
    write_ply_copy,
)

COPIES = (".ply", *LAS_SUFFIXES)


class Cloud:
    """The input points, with the whole LAS/LAZ or .ply file when the output copies it."""

    def __init__(self, path: Path, output: Path) -> None:
        out, suffix = suffix_of(output), suffix_of(path)
        if out in LAS_SUFFIXES and suffix not in LAS_SUFFIXES:
            raise PointFileError(f"{output}: LAS/LAZ output is a copy of a .las/.laz INPUT; write .npz or .ply")
        self.las = read_las(path) if out in LAS_SUFFIXES else None
        self.ply = read_ply_data(path) if suffix == ".ply" and out == ".ply" else None
        self.points = las_coordinates(self.las) if self.las is not None else \
            ply_coordinates(path, self.ply) if self.ply is not None else read_points(path)

    def write_with(self, output: Path, name: str, values: NDArray[Any], description: str) -> None:
        """A copy of the input with `values` as a new dimension or vertex property."""
        self.write_columns(output, {name: (values, description)})

    def write_columns(self, output: Path, columns: dict[str, tuple[NDArray[Any], str]]) -> None:
        """A copy of the input with each of `columns`, name: (values, description), as a
        new dimension or vertex property."""
        if self.las is not None:
            write_las_with_dimensions(self.las, output, columns)
        elif self.ply is not None:
            write_ply_copy(self.ply, output, {name: values for name, (values, _) in columns.items()})
        else:
            p = self.points
            write_ply(output, {"x": p[:, 0], "y": p[:, 1], "z": p[:, 2],
                               **{name: values for name, (values, _) in columns.items()}})

    def write_kept(self, output: Path, keep: NDArray[np.bool_]) -> None:
        """Only the kept points, with every attribute a LAS/LAZ or .ply input has."""
        if self.las is not None:
            write_las(self.las, output, keep)
        elif self.ply is not None:
            write_ply_copy(self.ply, output, {}, keep)
        elif suffix_of(output) == ".ply":
            p = self.points[keep]
            write_ply(output, {"x": p[:, 0], "y": p[:, 1], "z": p[:, 2]})
        elif suffix_of(output) in TEXT_SUFFIXES:
            with replaced_atomically(output) as f:
                np.savetxt(f, self.points[keep], delimiter="," if suffix_of(output) == ".csv" else " ")
        else:
            write_arrays(output, points=self.points[keep])


def add_parsers(subparsers: Any) -> None:
    cluster = subparsers.add_parser(
        "cluster", help="DBSCAN or Euclidean clusters of the points",
        description="Cluster the input points (DBSCAN): a point with at least N points strictly "
        "within the radius, itself included, is a core; cores within the radius of each other "
        "share a cluster; other points within the radius of a core join its nearest core's "
        "cluster, the rest are noise (-1). --min-samples 1 gives Euclidean clusters. Clusters "
        "are numbered 0, 1, ... by their first point in the file.", epilog=FORMATS)
    add_common(cluster, queries=False)
    cluster.add_argument("--min-samples", type=count_type(1), default=10, metavar="N",
                         help="points within the radius, itself included, that make a core (default 10)")
    cluster.add_argument("--min-cluster-size", type=count_type(1), default=1, metavar="M",
                         help="clusters of fewer points become noise (default 1)")
    cluster.add_argument("-o", "--output", type=Path, required=True, metavar="OUTPUT",
                         help="result file: .npz (int64 'labels', bool 'core'), .npy (the labels), "
                         ".ply (the input's vertices with an int32 property 'cluster'), or for "
                         ".las/.laz INPUT a .las/.laz copy with an int32 extra dimension 'cluster'")
    cluster.set_defaults(func=run_cluster)

    outliers = subparsers.add_parser(
        "outliers", help="flag (or drop) points with few neighbours or far neighbours",
        description="Flag outliers: with --min-neighbours N, points with fewer than N points "
        "strictly within the radius, itself included; with --statistical K RATIO, points whose "
        "mean distance to their K nearest other points within the radius (missing ones counted "
        "at the radius) exceeds the cloud's mean of them by RATIO standard deviations.",
        epilog=FORMATS)
    add_common(outliers, queries=False)
    rule = outliers.add_mutually_exclusive_group(required=True)
    rule.add_argument("--min-neighbours", type=count_type(1), metavar="N", help="neighbours a point needs")
    rule.add_argument("--statistical", nargs=2, metavar=("K", "RATIO"), help="neighbours to average over "
                      "and standard deviations allowed, e.g. 16 2.0")
    outliers.add_argument("--drop", action="store_true",
                          help="write only the points that are not outliers, with all their attributes")
    outliers.add_argument("-o", "--output", type=Path, required=True, metavar="OUTPUT",
                          help="result file: .npz (bool 'outliers'), .npy (the flags), .ply (the input's "
                          "vertices with a uint8 property 'outlier'), or for .las/.laz INPUT a .las/.laz "
                          "copy with a uint8 extra dimension 'outlier'; with --drop, the kept points as "
                          ".npy/.npz ('points'), .xyz/.txt/.csv, .ply or (from .las/.laz) .las/.laz")
    outliers.set_defaults(func=run_outliers)


def run_cluster(args: argparse.Namespace) -> int:
    check_output(args, (".npz", ".npy", *COPIES))
    cloud = Cloud(args.input, args.output)
    if cloud.las is not None:
        check_las_output(cloud.las, args.output, ["cluster"])
    search = Search(args, cloud.points)
    labels, core = search.nns.dbscan(args.min_samples, min_cluster_size=args.min_cluster_size,
                                     num_threads=search.threads, progress=search.progress)
    if suffix_of(args.output) in COPIES:
        cloud.write_with(args.output, "cluster", labels.astype(np.int32),
                         f"dbscan r={search.nns.radius:g} n={args.min_samples}")
    else:
        write_arrays(args.output, labels=labels, core=core)
    clusters = int(labels.max()) + 1 if len(labels) else 0
    print(f"kesra: {clusters:,} clusters, {int(core.sum()):,} core points, {int((labels < 0).sum()):,} noise",
          file=sys.stderr)
    search.report("clusters", args.output)
    return 0


def run_outliers(args: argparse.Namespace) -> int:
    allowed = (".npz", ".npy", *COPIES) + (TEXT_SUFFIXES if args.drop else ())
    check_output(args, allowed)
    if args.statistical is not None:
        try:
            k, ratio = count_type(1)(args.statistical[0]), finite_float(args.statistical[1])
        except (ValueError, argparse.ArgumentTypeError) as e:
            raise PointFileError(f"--statistical K RATIO: {e}") from None
    cloud = Cloud(args.input, args.output)
    if cloud.las is not None and not args.drop:
        check_las_output(cloud.las, args.output, ["outlier"])
    search = Search(args, cloud.points)
    if args.statistical is None:
        flags = search.nns.radius_outliers(args.min_neighbours, num_threads=search.threads,
                                           progress=search.progress)
        rule = f"fewer than {args.min_neighbours} within r"
    else:
        flags = search.nns.statistical_outliers(k, ratio, num_threads=search.threads, progress=search.progress)
        rule = f"mean distance of {k} nearest over mean + {ratio:g} sd"
    if args.drop:
        cloud.write_kept(args.output, ~flags)
    elif suffix_of(args.output) in COPIES:
        cloud.write_with(args.output, "outlier", flags.astype(np.uint8), f"{rule[:20]} r={search.nns.radius:g}")
    else:
        write_arrays(args.output, outliers=flags)
    print(f"kesra: {int(flags.sum()):,} outliers ({rule})" + (", dropped" if args.drop else ""), file=sys.stderr)
    search.report("outlier flags", args.output)
    return 0
