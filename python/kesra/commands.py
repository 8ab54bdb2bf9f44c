"""`kesra count` and `kesra neighbours`: neighbour queries on point-cloud files."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kesra._kesra import available_methods
from kesra.arguments import radius_value, thread_count
from kesra.nns import KesraNNS
from kesra.radius import suggest_radius
from kesra.rows import finite_rows
from kesra.origin import shift_for, to_float32
from kesra.pointcloud_files import (
    LAS_SUFFIXES,
    PointFileError,
    check_las_output,
    las_coordinates,
    read_las,
    read_points,
    suffix_of,
    write_arrays,
    write_las_with_dimensions,
)

FORMATS = (
    "Point files: .npy (an (N, 3) array), .xyz/.txt/.csv (comma- or whitespace-separated, "
    "first three columns x, y, z, a header line is skipped), .ply (vertex x, y, z) and "
    ".las/.laz; .ply, .las and .laz need the optional libraries (pip install 'kesra[io]'). "
    "Coordinates read in float64 (text, LAS/LAZ, float64 .npy/.ply) are shifted by the "
    "whole-number floor of the input's minimum corner before conversion to float32, so "
    "georeferenced coordinates keep their precision; the shift changes no distance. Rows "
    "with NaN or infinite coordinates are left out of the search: they count 0 and have no "
    "neighbours. A progress bar is drawn on standard error when it is a terminal. Outputs "
    "are written to a temporary file that replaces OUTPUT only when complete; an OUTPUT that "
    "is one of the files read is refused."
)


def option_type(convert: Callable[[str], Any], check: Callable[[Any, str], Any], metavar: str) -> Any:
    """An argparse type: `convert` the text, then `check` it, its errors named by `metavar`."""
    def parse(text: str) -> Any:
        value = convert(text)
        try:
            return check(value, metavar)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None
    parse.__name__ = convert.__name__  # argparse's "invalid float value: 'x'"
    return parse


RADIUS_TYPE = option_type(float, radius_value, "R")
THREADS_TYPE = option_type(int, thread_count, "T")


def non_negative_float(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be a non-negative number, got {text}")
    return value


def count_type(minimum: int) -> Any:
    def parse(text: str) -> int:
        value = int(text)
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {text}")
        return value
    return parse


def add_common(parser: argparse.ArgumentParser, queries: bool = True, radius_required: bool = True) -> None:
    """The options of every search command; `queries=False` leaves out --queries (the
    command answers for the input points only), `radius_required=False` lets the command
    find the radius elsewhere."""
    parser.add_argument("input", type=Path, metavar="INPUT", help="point file to search in")
    size = parser.add_mutually_exclusive_group(required=radius_required)
    size.add_argument("--radius", "-r", type=RADIUS_TYPE, metavar="R",
                      help="search radius, in the file's units; points at exactly R are not neighbours")
    size.add_argument("--neighbours", "-n", type=count_type(1), metavar="N",
                      help="instead of --radius: the radius at which the median point has N other points "
                      "within it (kesra.suggest_radius), printed on standard error")
    parser.add_argument("--method", "-m", choices=["auto", *available_methods()], default="auto",
                        help="search method (default: auto, chosen from the cloud; graph is approximate)")
    if queries:
        parser.add_argument("--queries", "-q", type=Path, metavar="FILE",
                            help="point file of query points (default: the input points themselves)")
    else:
        parser.set_defaults(queries=None)
    parser.add_argument("--threads", "-t", type=THREADS_TYPE, default=0, metavar="T",
                        help="worker threads, at most 8 per CPU (default 0: RAYON_NUM_THREADS, else all CPUs)")
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="never draw the progress bar")


def add_parsers(subparsers: Any) -> None:
    count = subparsers.add_parser(
        "count", help="count the points within a radius of every point",
        description="Count, for every input point (or every query point), the input points "
        "strictly within the radius, the point itself included; or, with --weight P, sum "
        "(1 - distance/R)**P over them.", epilog=FORMATS)
    add_common(count)
    count.add_argument("--weight", "-w", type=non_negative_float, metavar="P",
                       help="sum (1 - distance/R)**P instead of counting")
    count.add_argument("--as-dimension", metavar="NAME",
                       help="LAS/LAZ input only: write a copy of the input with the counts as a new "
                       "float32 dimension NAME; OUTPUT must then be .las or .laz")
    count.add_argument("-o", "--output", type=Path, required=True, metavar="OUTPUT",
                       help="result file: .npy (float32 counts), .npz (array 'counts'), "
                       "or .las/.laz with --as-dimension")
    count.set_defaults(func=run_count)

    neighbours = subparsers.add_parser(
        "neighbours", help="find the k nearest points, or all points, within a radius of every point",
        description="Find, for every input point (or every query point), the K nearest input "
        "points strictly within the radius, or with --all every one of them, nearest first "
        "(a point finds itself first).", epilog=FORMATS)
    add_common(neighbours)
    wanted = neighbours.add_mutually_exclusive_group(required=True)
    wanted.add_argument("-k", type=count_type(1), metavar="K",
                        help="neighbours per point; missing ones are -1")
    wanted.add_argument("--all", action="store_true",
                        help="every neighbour within the radius, as compressed rows in a .npz file")
    neighbours.add_argument("-o", "--output", type=Path, required=True, metavar="OUTPUT",
                            help="result file: .npz (int32 'indices' and float32 'distances', "
                            "(M, K), -1 padded) or .npy (the indices only); with --all, .npz with "
                            "int64 'offsets' (M + 1) and 'indices' and 'distances' of point i "
                            "at offsets[i]:offsets[i + 1]")
    neighbours.set_defaults(func=run_neighbours)


@contextlib.contextmanager
def build_threads(threads: int) -> Iterator[None]:
    """Sizes the construction pool, which follows RAYON_NUM_THREADS, for one build."""
    previous = os.environ.get("RAYON_NUM_THREADS")
    if threads > 0:
        os.environ["RAYON_NUM_THREADS"] = str(threads)
    try:
        yield
    finally:
        if threads > 0:
            if previous is None:
                del os.environ["RAYON_NUM_THREADS"]
            else:
                os.environ["RAYON_NUM_THREADS"] = previous


def check_output(args: argparse.Namespace, allowed: tuple[str, ...]) -> None:
    """Refuses an OUTPUT of another type than `allowed`, in no directory, or that is one
    of the files read: the result would replace them."""
    output: Path = args.output
    if suffix_of(output) not in allowed:
        raise PointFileError(f"{output}: output must end in {' or '.join(allowed)}")
    if not output.parent.is_dir():
        raise PointFileError(f"{output}: directory {output.parent} does not exist")
    for read in (args.input, args.queries):
        if read is not None and (output.resolve() == read.resolve() or
                                 (output.exists() and read.exists() and output.samefile(read))):
            raise PointFileError(f"{output}: OUTPUT is the file {read} read as input, which the result would "
                                 "replace: write it to another file")


class Search:
    """The search over the input points (`KesraNNS` leaves non-finite rows out) and the
    summary of what it used; `offset` is the shift subtracted from the input and the
    queries before they became float32."""

    def __init__(self, args: argparse.Namespace, points: NDArray[Any]) -> None:
        started = time.perf_counter()
        queries = read_points(args.queries) if args.queries else None
        for path, cloud in ((args.input, points), (args.queries, queries)):
            if cloud is not None and not np.isfinite(cloud).all(axis=1).any():
                raise PointFileError(f"{path}: no points" + (" with finite coordinates" if len(cloud) else ""))
        offset = shift_for(points, *([queries] if queries is not None else []))
        if offset.any():
            print(f"kesra: coordinates shifted by ({offset[0]:.0f}, {offset[1]:.0f}, {offset[2]:.0f}) "
                  "before conversion to float32", file=sys.stderr)
        points, self.offset = to_float32(points, offset), offset
        self.queries = points if queries is None else to_float32(queries, offset)
        radius = args.radius
        if radius is None:
            radius = float(np.float32(suggest_radius(points, neighbours=args.neighbours)))
            print(f"kesra: radius {radius:g}, at which the median point has {args.neighbours} others within it",
                  file=sys.stderr)
        with build_threads(args.threads):
            self.nns = KesraNNS(points, radius, args.method)
        if self.nns.rows_left_out:
            print(f"kesra: {self.nns.rows_left_out:,} input rows with non-finite coordinates left out",
                  file=sys.stderr)
        self.answered = finite_rows(self.queries)
        self.threads, self.progress, self.started = args.threads, args.progress, started

    def report(self, what: str, output: Path) -> None:
        answered = int(self.answered.sum())
        skipped = f" ({len(self.queries) - answered:,} non-finite left out)" if answered < len(self.queries) else ""
        print(f"kesra: {what} for {answered:,} points{skipped} over {len(self.nns) - self.nns.rows_left_out:,} "
              f"({self.nns.method}, r = {self.nns.radius:g}) in "
              f"{time.perf_counter() - self.started:.2f} s -> {output}", file=sys.stderr)


def run_count(args: argparse.Namespace) -> int:
    las_output = suffix_of(args.output) in LAS_SUFFIXES
    dimension: str | None = args.as_dimension
    if las_output and dimension is None:
        raise PointFileError(f"{args.output}: LAS/LAZ output needs a dimension name for the counts: "
                             "add --as-dimension NAME")
    if dimension is not None or las_output:
        if suffix_of(args.input) not in LAS_SUFFIXES or not las_output or dimension is None:
            raise PointFileError("--as-dimension NAME needs a .las/.laz INPUT and a .las/.laz OUTPUT")
        if args.queries is not None:
            raise PointFileError("--as-dimension writes one value per input point: it cannot be "
                                 "combined with --queries")
        if not dimension.strip():
            raise PointFileError("--as-dimension needs a non-empty NAME")
    check_output(args, (".npy", ".npz") + (LAS_SUFFIXES if las_output else ()))
    las = read_las(args.input) if dimension is not None else None
    if las is not None and dimension is not None:
        check_las_output(las, args.output, [dimension])
    search = Search(args, las_coordinates(las) if las is not None else read_points(args.input))
    counts = search.nns.count_neighbours(search.queries, num_threads=search.threads,
                                         distance_weight_factor=args.weight, progress=search.progress)
    if las is not None and dimension is not None:
        what = "neighbours" if args.weight is None else f"weighted p={args.weight:g}"
        write_las_with_dimensions(las, args.output, {dimension: (counts, f"{what} r={search.nns.radius:g}")})
    else:
        write_arrays(args.output, counts=counts)
    used = counts[search.answered]
    if len(used):
        low, middle, high = np.percentile(used, [0, 50, 100])
        what = "neighbours per point, itself included" if args.weight is None else "weighted sums per point"
        print(f"kesra: {what}: min {low:g}, median {middle:g}, max {high:g}", file=sys.stderr)
    search.report("counts", args.output)
    return 0


def run_neighbours(args: argparse.Namespace) -> int:
    check_output(args, (".npz",) if args.all else (".npy", ".npz"))
    search = Search(args, read_points(args.input))
    if args.all:
        found = search.nns.find_all_neighbours(search.queries, num_threads=search.threads,
                                               progress=search.progress)
        write_arrays(args.output, offsets=found.offsets, indices=found.indices, distances=found.distances)
        search.report(f"all {found.offsets[-1]:,} neighbours", args.output)
        return 0
    indices, distances = search.nns.find_neighbours(search.queries, args.k, num_threads=search.threads,
                                                    progress=search.progress)
    write_arrays(args.output, indices=indices, distances=distances)
    search.report(f"{args.k} neighbours", args.output)
    return 0
