"""`kesra features`: the eigenvalue features of every point of a point file at several
neighbourhood sizes, from one search per point."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

import numpy as np

from kesra.cluster_commands import COPIES, Cloud
from kesra.commands import FORMATS, RADIUS_TYPE, Search, add_common, check_output, count_type
from kesra.local_geometry import LocalGeometry, features
from kesra.pointcloud_files import PointFileError, check_las_output, suffix_of, write_arrays
from kesra.scales import feature_table, scale_names

FEATURES = list(features(LocalGeometry(np.zeros((0, 3), np.float32), np.zeros((0, 3), np.float32),
                                       np.zeros(0, np.int64))))
BEST_NAME = "least_entropy_scale"
OUTPUT_HELP = (
    "result file: .npz (a float32 (N,) array per column, and 'scales'); .ply (the input's vertices, every "
    "property kept, or its x, y, z, with a float32 property per column); or, for .las/.laz INPUT only, "
    ".las/.laz (a copy of the input with a float32 extra dimension per column)")


def feature_list(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    unknown = [name for name in names if name not in FEATURES]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"unknown features {unknown}; choose among {', '.join(FEATURES)}")
    return names


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser(
        "features", help="eigenvalue features of every point at several neighbourhood sizes",
        description="Compute, for every input point, the eigenvalue features of its neighbourhood (the "
        "covariance of its neighbours, the point itself included) at several sizes from one search: every "
        "point strictly within each radius of --radii, or the K nearest within the radius for each K of -k. "
        f"Each feature of each scale is one column named FEATURE_SCALE (planarity_r0.5, linearity_k10); "
        f"{BEST_NAME} holds the radius (or K) whose eigenentropy is least. Features: {', '.join(FEATURES)} "
        "(see kesra.features). Points with fewer than 3 neighbours at a scale, and those with NaN or "
        "infinite coordinates, get NaN.", epilog=FORMATS)
    add_common(parser, queries=False, radius_required=False)
    sizes = parser.add_mutually_exclusive_group(required=True)
    sizes.add_argument("--radii", type=RADIUS_TYPE, nargs="+", metavar="R",
                       help="neighbourhood radii; the search radius is the largest unless -r gives one")
    sizes.add_argument("-k", type=count_type(3), nargs="+", metavar="K",
                       help="neighbours per point at each scale, within the search radius (-r or -n)")
    parser.add_argument("--features", type=feature_list, default=FEATURES, metavar="NAMES",
                        help="comma-separated features to write (default: all)")
    parser.add_argument("-o", "--output", type=Path, required=True, metavar="OUTPUT", help=OUTPUT_HELP)
    parser.set_defaults(func=run_features)


def run_features(args: argparse.Namespace) -> int:
    if args.radii is not None:
        largest = max(args.radii)
        if args.neighbours is not None:
            raise PointFileError("--radii set the search radius: --neighbours cannot be combined with them")
        if args.radius is not None and np.float32(largest) > np.float32(args.radius):
            raise PointFileError(f"--radii reach {largest:g}, beyond the search radius -r {args.radius:g}")
        args.radius = args.radius if args.radius is not None else largest
    elif args.radius is None and args.neighbours is None:
        raise PointFileError("-k needs the search radius: add -r R or -n N")
    check_output(args, (".npz", *COPIES))
    names = [f"{feature}_{scale}" for feature in args.features
             for scale in scale_names(*((args.radii, "radius") if args.radii is not None else (args.k, "k")))]
    cloud = Cloud(args.input, args.output)
    if cloud.las is not None:
        check_las_output(cloud.las, args.output, [*names, BEST_NAME])
    search = Search(args, cloud.points)
    options: dict[str, Any] = {"num_threads": search.threads, "progress": search.progress}
    result = (search.nns.local_geometry(search.queries, radii=args.radii, **options) if args.radii is not None
              else search.nns.local_geometry(search.queries, args.k, **options))
    table = feature_table(result)
    columns = {name: (table[name], name) for name in names}
    best = result.least_entropy_scale()
    scale_of = np.where(best >= 0, np.asarray(result.scales, np.float32)[best], np.nan).astype(np.float32)
    columns[BEST_NAME] = (scale_of, "radius or k of least entropy")
    if suffix_of(args.output) in COPIES:
        cloud.write_columns(args.output, columns)
    else:
        write_arrays(args.output, **{name: values for name, (values, _) in columns.items()},
                     scales=np.asarray(result.scales))
    for scale, counts in zip(result.names(), result.counts[search.answered].T):
        if len(counts):
            low, middle, high = np.percentile(counts, [0, 50, 100])
            few = int((counts < 3).sum())
            print(f"kesra: {scale}: neighbours per point, itself included: min {low:g}, median {middle:g}, "
                  f"max {high:g}" + (f"; {few:,} points with fewer than 3 have NaN features" if few else ""),
                  file=sys.stderr)
    search.report(f"{len(columns) - 1} features at {len(result.scales)} scales", args.output)
    return 0
