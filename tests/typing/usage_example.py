"""Typical use of the package, checked with `mypy --strict` by tests/python/test_typing.py
(and run by it, so the example stays correct)."""

import pickle

import numpy as np
from numpy.typing import NDArray

import kesra
from kesra.nns import GridStats, KesraNNS


def neighbourhood_sizes(points: NDArray[np.float64], radius: float) -> NDArray[np.float32]:
    nns = KesraNNS(points, radius, method="hybrid", subtree_threshold=32)
    return nns.count_neighbours(points, num_threads=2, distance_weight_factor=None)


def nearest(nns: KesraNNS, queries: list[list[float]]) -> tuple[NDArray[np.int32], NDArray[np.float32]]:
    return nns.find_neighbours(queries, 4, epsilon=0.0, progress=False)


def cells(nns: KesraNNS) -> int:
    stats: GridStats | None = nns.stats()
    return 0 if stats is None else stats["num_cells"]


def all_within(nns: KesraNNS, queries: NDArray[np.float64]) -> int:
    found: kesra.AllNeighbours = nns.find_all_neighbours(queries, num_threads=2, progress=False)
    offsets: NDArray[np.int64] = found.offsets
    return int(offsets[-1]) + int(found.indices.sum()) + len(found.distances)


def engine_directly(points: NDArray[np.float32]) -> float:
    engine = kesra.KesraNNSEngine(points, 0.5, "kdtree")
    counts = engine.count_neighbours(points, 0, 1.5, False)
    indices, distances = engine.find_neighbours(points, 2)
    restored: kesra.KesraNNSEngine = pickle.loads(pickle.dumps(engine))
    return float(counts.sum()) + float(distances.max()) + int(indices.max()) + len(restored)


def shapes_at_scales(nns: KesraNNS, points: NDArray[np.float64]) -> float:
    one: kesra.LocalGeometry = nns.local_geometry(points, 8)
    several: kesra.ScaledGeometry = nns.local_geometry(points, radii=(nns.radius / 2, nns.radius))
    table: dict[str, NDArray[np.float32]] = kesra.feature_table(several)
    return float(np.nansum(one.eigenvalues)) + len(table) + int(several.least_entropy_scale().max())


def main() -> None:
    points = np.random.default_rng(0).random((500, 3))
    sizes = neighbourhood_sizes(points, 0.1)
    nns = KesraNNS(points.tolist(), kesra.suggest_radius(points, 10, "mean"), nonfinite="keep")
    indices, distances = nearest(nns, [[0.5, 0.5, 0.5]])
    methods: list[str] = kesra.available_methods()
    groups = kesra.indices_by_field(np.array([0, 1, 0]), np.array([2, 1]))
    rows: NDArray[np.uint64] = groups[0]
    print(kesra.__version__, nns.method, nns.radius, len(nns), cells(nns), sizes.dtype,
          indices.shape, distances.dtype, methods, rows, all_within(nns, points),
          engine_directly(points.astype(np.float32)), shapes_at_scales(nns, points))


if __name__ == "__main__":
    main()
