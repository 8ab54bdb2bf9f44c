"""`kesra normals`: the normal and curvature of every point of a point file."""

from __future__ import annotations

import argparse
import math
import sys
from pathlib import Path
from typing import Any

import numpy as np

from kesra.commands import FORMATS, Search, add_common, check_output, count_type
from kesra.local_geometry import curvature as curvature_of
from kesra.pointcloud_files import (
    LAS_SUFFIXES,
    PointFileError,
    check_las_output,
    las_coordinates,
    ply_coordinates,
    read_las,
    read_ply_data,
    read_points,
    suffix_of,
    write_arrays,
    write_las_with_dimensions,
    write_ply,
    write_ply_copy,
)

NORMAL_NAMES = ("normal_x", "normal_y", "normal_z")
CURVATURE_NAME = "curvature"
OUTPUT_HELP = (
    "result file: .npz (float32 'normals' (N, 3) and 'curvature' (N,), plus 'eigenvalues' "
    "(N, 3), ascending, and int64 'counts', the neighbours used); .ply (every vertex property "
    "of a .ply INPUT, or the points' x, y, z as read, with float32 nx, ny, nz and curvature); "
    "or, for .las/.laz INPUT only, .las/.laz (a copy of the input with float32 extra dimensions normal_x, normal_y, normal_z and "
    "curvature)")


def finite_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text}")
    return value


def add_parser(subparsers: Any) -> None:
    normals = subparsers.add_parser(
        "normals", help="the normal and curvature of every point, from its neighbours within a radius",
        description="Estimate, for every input point, the surface normal and curvature from its K "
        "nearest points strictly within the radius (the point itself included), or with "
        "--all-within from every one of them: the normal is the unit eigenvector of the smallest "
        "eigenvalue l3 of their covariance, the curvature l3 / (l1 + l2 + l3). A normal and its "
        "negation are equally valid; --orient-towards turns each to face a viewpoint, such as "
        "the scanner's position. Points with fewer than 3 neighbours, and those with NaN or "
        "infinite coordinates, get NaN.", epilog=FORMATS)
    add_common(normals, queries=False)
    used = normals.add_mutually_exclusive_group()
    used.add_argument("-k", type=count_type(3), default=16, metavar="K",
                      help="neighbours per point (default 16)")
    used.add_argument("--all-within", action="store_true",
                      help="every neighbour within the radius instead of the K nearest")
    normals.add_argument("--orient-towards", type=finite_float, nargs=3, metavar=("X", "Y", "Z"),
                         help="turn every normal to face this point, in the file's coordinates")
    normals.add_argument("-o", "--output", type=Path, required=True, metavar="OUTPUT", help=OUTPUT_HELP)
    normals.set_defaults(func=run_normals)


def run_normals(args: argparse.Namespace) -> int:
    las_input, las_output = (suffix_of(path) in LAS_SUFFIXES for path in (args.input, args.output))
    if las_output and not las_input:
        raise PointFileError(f"{args.output}: LAS/LAZ output is a copy of a .las/.laz INPUT; "
                             "write .npz or .ply instead")
    check_output(args, (".npz", ".ply") + (LAS_SUFFIXES if las_input else ()))
    las = read_las(args.input) if las_output else None
    if las is not None:
        check_las_output(las, args.output, [*NORMAL_NAMES, CURVATURE_NAME],
                         remedy="write .npz or .ply instead, or remove that dimension first")
    ply = read_ply_data(args.input) if suffix_of(args.input) == ".ply" else None
    points = las_coordinates(las) if las is not None else ply_coordinates(args.input, ply) if ply is not None \
        else read_points(args.input)
    search = Search(args, points)
    viewpoint = None if args.orient_towards is None else np.array(args.orient_towards) - search.offset
    result = search.nns.local_geometry(search.queries, args.k, all_within=args.all_within,
                                       num_threads=search.threads, progress=search.progress,
                                       orient_towards=viewpoint)
    curvature = curvature_of(result)
    used = "every neighbour within r" if args.all_within else f"{args.k} nearest"
    if las is not None:
        where = f"{used} r={search.nns.radius:g}"
        write_las_with_dimensions(las, args.output, {
            **{name: (result.normals[:, axis], f"normal {'xyz'[axis]}, {where}")
               for axis, name in enumerate(NORMAL_NAMES)},
            CURVATURE_NAME: (curvature, f"l3/sum, {where}")})
    elif suffix_of(args.output) == ".ply":
        added = {**{f"n{axis}": result.normals[:, i] for i, axis in enumerate("xyz")}, "curvature": curvature}
        if ply is not None:
            write_ply_copy(ply, args.output, added)
        else:
            write_ply(args.output, {"x": points[:, 0], "y": points[:, 1], "z": points[:, 2], **added})
    else:
        write_arrays(args.output, normals=result.normals, curvature=curvature,
                     eigenvalues=result.eigenvalues, counts=result.counts)
    counts = result.counts[search.answered]
    if len(counts):
        low, middle, high = np.percentile(counts, [0, 50, 100])
        print(f"kesra: neighbours used per point, itself included: min {low:g}, median {middle:g}, "
              f"max {high:g}", file=sys.stderr)
    if (few := int((counts < 3).sum())):
        print(f"kesra: {few:,} points with fewer than 3 neighbours within r have NaN normals", file=sys.stderr)
    search.report(f"normals ({used})", args.output)
    return 0
