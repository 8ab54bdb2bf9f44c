"""Instructions per query, counted by valgrind's callgrind: a measure that does not move
with the load of a shared machine, for comparing two builds of the engine.

Usage, from the repository root (valgrind from Debian's packages):

    .venv/bin/python bench/instructions.py DATASET METHOD [--cells-per-radius M]
        [--what find|count|build|all|all-unsorted] [--points N] [--radius-rule mean|median]

DATASET is "cube" or "surface" (N generated points, default 200,000) or the name of a
cloud in ../shared/data (NaN rows dropped). The queries are every 20th point, answered
on one thread, with r for about 30 neighbours; only the query driver's own call is
counted (callgrind's --toggle-collect), not the build or the interpreter ("all": every
neighbour within r, sorted rows; "all-unsorted": in the search's order). With --what
build, the construction is counted instead (all its threads, per point; the pool size
follows RAYON_NUM_THREADS). Compare builds by pointing PYTHONPATH at another
installation of the package.

r follows --radius-rule (bench/radius_rules.py): "mean" (default) gives about 30
neighbours to the mean point, "median" to the median point.
"""

import argparse
import re
import subprocess
import sys
import tempfile
from pathlib import Path

# The function whose calls are counted, all threads included.
TOGGLES = {"find": "kesra::find_neighbours*", "count": "kesra::count_neighbours*", "build": "kesra::build_engine*",
           "all": "kesra::find_all_neighbours*", "all-unsorted": "kesra::find_all_neighbours*"}


def load_points(args):
    import numpy as np

    from datasets import data_dir, finite_rows
    from kesra.clouds import height_field_surface, uniform_cube

    if args.dataset in ("cube", "surface"):
        return (uniform_cube if args.dataset == "cube" else height_field_surface)(args.points)
    return finite_rows(np.load(data_dir() / f"{args.dataset}.npy"))[0]


def run_queries(args):
    from kesra import KesraNNSEngine

    points = load_points(args)
    engine = KesraNNSEngine(points, args.radius, args.method, cells_per_radius=args.cells_per_radius)
    if args.what == "build":
        print(len(points))
        return
    queries = points[::20].copy()
    if args.what == "find":
        engine.find_neighbours(queries, 16, num_threads=1)
    elif args.what.startswith("all"):
        engine.find_all_neighbours(queries, sort=args.what == "all", num_threads=1)
    else:
        engine.count_neighbours(queries, num_threads=1)
    print(len(queries))


def main():
    parser = argparse.ArgumentParser(description="Instructions per query under callgrind.")
    parser.add_argument("dataset")
    parser.add_argument("method")
    parser.add_argument("--cells-per-radius", type=int, default=1)
    parser.add_argument("--what", choices=list(TOGGLES), default="find")
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--mispredicts", action="store_true",
                        help="also count simulated branch mispredictions (slower)")
    parser.add_argument("--radius-rule", choices=["mean", "median"], default="mean")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--radius", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return run_queries(args)
    # The radius search runs queries of its own: done here, outside the count.
    from radius_rules import suggest_radius

    radius = suggest_radius(load_points(args), args.radius_rule)
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        child = [sys.executable, __file__, *sys.argv[1:], "--child", "--radius", repr(radius)]
        branches = ["--branch-sim=yes"] if args.mispredicts else []
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *branches,
                               "--collect-atstart=no", f"--toggle-collect={TOGGLES[args.what]}", *child],
                              capture_output=True, text=True, check=True)
        rows = int(proc.stdout.split()[-1])
        # The summary line lists the events in order: Ir, then with --branch-sim Bc Bcm Bi Bim.
        summary = re.search(r"^summary:\s+([\d ]+)", out.read_text(), re.MULTILINE)
        events = [int(v) for v in summary.group(1).split()] if summary else [0]
        total = events[0]
    unit = "point" if args.what == "build" else "query"
    missed = f", {(events[2] + events[4]) / rows:,.1f} mispredicted" if args.mispredicts and len(events) >= 5 else ""
    print(f"{args.dataset} {args.method} cells_per_radius={args.cells_per_radius} {args.what}: "
          f"{total / rows:,.0f} instructions{missed} per {unit} ({rows:,} rows)")


if __name__ == "__main__":
    sys.exit(main())
