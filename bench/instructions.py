"""Instructions per query, counted by valgrind's callgrind: a measure that does not move
with the load of a shared machine, for comparing two builds of the engine.

Usage, from the repository root (valgrind from Debian's packages):

    .venv/bin/python bench/instructions.py DATASET METHOD [--cells-per-radius M]
        [--what find|count|build|all|all-unsorted] [--points N] [--radius-rule mean|median]
        [--every N] [--order own|random] [--cache-sim]

DATASET is "cube" or "surface" (N generated points, default 200,000) or the name of a
cloud in ../shared/data (NaN rows dropped). The queries are every 20th point (--every
1: every point, in the cloud's order or with --order random in a fixed permutation),
answered on one thread, with r for about 30 neighbours; only the query driver's own
call is counted (callgrind's --toggle-collect), not the build or the interpreter
("all": every neighbour within r, sorted rows; "all-unsorted": in the search's order).
With --what build, the construction is counted instead (all its threads, per point; the
pool size follows RAYON_NUM_THREADS). METHOD "auto" is the package's choice; METHOD
"nanoflann" counts the benchmark's nanoflann peer (bench/nanoflann_runner.py) on the
same queries (find and count only). --cache-sim also simulates the caches and prints
first-level and last-level data misses per query. Compare builds by pointing
PYTHONPATH at another installation of the package.

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


def load_queries(args, points):
    import numpy as np

    if args.order == "random":
        points = points[np.random.default_rng(1).permutation(len(points))]
    return np.ascontiguousarray(points[::args.every])


def run_queries(args):
    from kesra import KesraNNSEngine
    from kesra.method_choice import choose_method

    points = load_points(args)
    method = choose_method(points, args.radius).method if args.method == "auto" else args.method
    engine = KesraNNSEngine(points, args.radius, method, cells_per_radius=args.cells_per_radius)
    if args.what == "build":
        print(len(points))
        return
    queries = load_queries(args, points)
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
    parser.add_argument("--every", type=int, default=20, help="query every N-th point (default 20)")
    parser.add_argument("--order", choices=["own", "random"], default="own")
    parser.add_argument("--cache-sim", action="store_true", help="also count simulated cache misses")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--radius", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return run_queries(args)
    # The radius search runs queries of its own: done here, outside the count.
    from radius_rules import suggest_radius

    points = load_points(args)
    radius = suggest_radius(points, args.radius_rule)
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        if args.method == "nanoflann":
            child, toggle = nanoflann_child(args, points, radius, Path(tmp))
        else:
            child = [sys.executable, __file__, *sys.argv[1:], "--child", "--radius", repr(radius)]
            toggle = TOGGLES[args.what]
        extra = ["--branch-sim=yes"] if args.mispredicts else []
        extra += ["--cache-sim=yes"] if args.cache_sim else []
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *extra,
                               "--collect-atstart=no", f"--toggle-collect={toggle}", *child],
                              capture_output=True, text=True, check=True)
        rows = int(proc.stdout.split()[-1]) if args.method != "nanoflann" else len(load_queries(args, points))
        # The events line names the summary's columns: Ir, then with --cache-sim Dr Dw
        # I1mr D1mr D1mw ILmr DLmr DLmw, with --branch-sim Bc Bcm Bi Bim.
        text = out.read_text()
        names = re.search(r"^events:\s+(.+)$", text, re.MULTILINE).group(1).split()
        summary = re.search(r"^summary:\s+([\d ]+)", text, re.MULTILINE)
        events = dict(zip(names, (int(v) for v in summary.group(1).split()))) if summary else {"Ir": 0}
    unit = "point" if args.what == "build" else "query"
    notes = ""
    if "Bcm" in events:
        notes += f", {(events['Bcm'] + events['Bim']) / rows:,.1f} mispredicted"
    if "D1mr" in events:
        notes += (f", {(events['D1mr'] + events['D1mw']) / rows:,.1f} L1 and "
                  f"{(events['DLmr'] + events['DLmw']) / rows:,.2f} last-level data misses")
    print(f"{args.dataset} {args.method} cells_per_radius={args.cells_per_radius} {args.what} "
          f"({args.radius_rule} rule, {args.order} order): {events['Ir'] / rows:,.0f} instructions{notes} "
          f"per {unit} ({rows:,} rows)")


def nanoflann_child(args, points, radius, tmp):
    """The nanoflann peer's command for the same queries, and the function to count."""
    import numpy as np

    from nanoflann_runner import nanoflann_peer

    if args.what not in ("find", "count"):
        raise SystemExit("nanoflann: only --what find or count")
    binary, skipped = nanoflann_peer()
    if skipped:
        raise SystemExit(f"nanoflann: {skipped}")
    np.save(tmp / "points.npy", points)
    np.save(tmp / "queries.npy", load_queries(args, points))
    child = [str(binary), "--points", str(tmp / "points.npy"), "--queries", str(tmp / "queries.npy"),
             "--radius", repr(radius), "--k", "16", "--threads", "1", "--mode", args.what]
    return child, "*find_knn*" if args.what == "find" else "*count_within*"


if __name__ == "__main__":
    sys.exit(main())
