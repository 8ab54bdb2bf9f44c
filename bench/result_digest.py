"""Digests of every method's answers and saved state on the shared clouds, for showing
that a change to the engine kept its results: run it before and after and compare.

Usage, from the repository root:

    .venv/bin/python bench/result_digest.py [--cells-per-radius 1,2,3] [--points 40000]

Per cloud (../shared/data or $KESRA_DATA_DIR, NaN rows kept: they are part of the rules),
method and cells_per_radius it prints one line with digests of the 16 nearest (each row
sorted by distance, then index, so that the order of equal distances, which is free, does
not count), of the counts, of the weighted counts (p = 2) and of the pickled state.
Queries are the cloud's first --points rows plus the same rows moved by a third of the
radius.
"""

import argparse
import hashlib
import os
import pickle
import sys
from pathlib import Path

import numpy as np

from kesra import KesraNNSEngine, available_methods
from kesra import suggest_radius

DATA = Path(os.environ.get("KESRA_DATA_DIR") or Path(__file__).resolve().parents[2] / "shared" / "data")


def digest(*arrays):
    h = hashlib.sha256()
    for a in arrays:
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()[:12]


def canonical_rows(indices, distances):
    order = np.lexsort((indices, distances), axis=1)
    return np.take_along_axis(indices, order, 1), np.take_along_axis(distances, order, 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells-per-radius", default="1,2,3")
    parser.add_argument("--points", type=int, default=40_000)
    args = parser.parse_args()
    for path in sorted(DATA.glob("*.npy")):
        points = np.load(path)
        finite = points[np.isfinite(points).all(axis=1)]
        radius = suggest_radius(finite, 30, "mean")
        queries = points[: args.points]
        queries = np.concatenate([queries, queries + np.float32(radius / 3)]).astype(np.float32)
        for method in available_methods():
            for cells in map(int, args.cells_per_radius.split(",")):
                engine = KesraNNSEngine(points, radius, method, cells_per_radius=cells, subtree_threshold=16)
                found = canonical_rows(*engine.find_neighbours(queries, 16, num_threads=2))
                counts = engine.count_neighbours(queries, num_threads=2)
                weighted = engine.count_neighbours(queries, num_threads=2, distance_weight_factor=2.0)
                print(f"{path.stem} {method} m={cells}: find {digest(*found)} count {digest(counts)} "
                      f"weighted {digest(weighted)} state {digest(np.frombuffer(engine.__getstate__(), np.uint8))}")
                sys.stdout.flush()


if __name__ == "__main__":
    main()
