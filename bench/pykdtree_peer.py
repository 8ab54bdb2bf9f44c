"""Times pykdtree on the same k-nearest finds as kesra, for the benchmark scripts.

Run by the stock python of build/open3d-venv (scripts/open3d-venv.sh installs pykdtree
there; bench/open3d_runner.py runs it with OMP_NUM_THREADS=T):

    pykdtree_peer.py --points P.npy --queries Q.npy --radius R [--k 16] [--repeats N]

Prints one JSON line: the median seconds of N builds of `KDTree(points, leafsize=16)`
(float32 points, pykdtree's native type beside float64) and of N calls of
`tree.query(queries, k, distance_upper_bound=R)`, each after one warm-up call, and the
number of neighbours found by the last call.
"""

import argparse
import json
import statistics
import time

import numpy as np


def timed_median(repeats, call):
    """(last result, median seconds of `repeats` calls after one warm-up call)."""
    result, seconds = call(), []
    for _ in range(repeats):
        result = None
        start = time.perf_counter()
        result = call()
        seconds.append(time.perf_counter() - start)
    return result, statistics.median(seconds)


def main():
    parser = argparse.ArgumentParser(description="Time pykdtree's k-nearest query within a radius.")
    parser.add_argument("--points", required=True)
    parser.add_argument("--queries", required=True)
    parser.add_argument("--radius", type=float, required=True)
    parser.add_argument("--k", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=1)
    args = parser.parse_args()
    from pykdtree.kdtree import KDTree
    import pykdtree

    points = np.ascontiguousarray(np.load(args.points), dtype=np.float32)
    queries = np.ascontiguousarray(np.load(args.queries), dtype=np.float32)
    tree, build_s = timed_median(args.repeats, lambda: KDTree(points, leafsize=16))
    (distances, _), find_s = timed_median(
        args.repeats, lambda: tree.query(queries, k=args.k, distance_upper_bound=args.radius))
    print(json.dumps({"version": getattr(pykdtree, "__version__", None), "build_s": build_s, "find_s": find_s,
                      "found_total": int(np.isfinite(distances).sum())}))


if __name__ == "__main__":
    main()
