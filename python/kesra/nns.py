"""`KesraNNS`: fixed-radius neighbour search over any (N, 3) array-like."""

from __future__ import annotations

from typing import Any, NotRequired, TypedDict

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra._kesra import KesraNNSEngine

__all__ = ["GridStats", "KesraNNS"]


class GridStats(TypedDict):
    """Occupancy of the voxel grid of the "voxel", "hybrid" and "graph" methods."""

    num_cells: int
    max_points_per_cell: int
    mean_points_per_cell: float
    num_subtrees: NotRequired[int]  # "hybrid" only
    graph_degree: NotRequired[int]  # "graph" only: the degree actually used


def as_points(values: ArrayLike, name: str, rows: str) -> NDArray[np.float32]:
    """`values` as a C-contiguous float32 (rows, 3) array, copied only when needed."""
    try:
        array = np.ascontiguousarray(np.asarray(values, dtype=np.float32))
    except (TypeError, ValueError) as e:
        raise type(e)(f"{name} cannot be converted to a float32 array: {e}") from e
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"{name} must have shape ({rows}, 3), got {array.shape}")
    return array


class KesraNNS:
    """Exact (or, with method "graph", approximate) fixed-radius neighbour search.

    Builds a search structure over `points`, an array-like of shape (N, 3) (a list,
    any float dtype, any memory layout, read-only arrays). The points are converted to
    C-contiguous float32 once, here, and copied into the structure: distances are
    computed in float32 and a point at exactly `radius` is never a neighbour. Later
    changes to `points` do not affect the search. Query arrays are converted the same
    way on every call (no copy when they already are C-contiguous float32).

    Args:
        points: Search points, shape (N, 3)
        radius: Search radius, positive and finite (compared as its nearest float32)
        method: "voxel" (default), "kdtree", "hybrid" or "graph"; see
            `kesra.available_methods()`
        cells_per_radius: Voxel cells per radius for the grid-based methods
        subtree_threshold: "hybrid"/"graph": points in a cell above which it gets a kd subtree
        graph_degree: "graph": neighbours kept per point in the graph

    Errors of the engine (bad radius, unknown method, ...) are raised unchanged.
    Instances are immutable, safe to query from several threads at once, and pickle
    to the built structure (unpickling does not rebuild it).
    """

    __slots__ = ("_engine", "_radius")

    def __init__(self, points: ArrayLike, radius: float, method: str = "voxel", *,
                 cells_per_radius: int = 1, subtree_threshold: int = 64, graph_degree: int = 16) -> None:
        self._engine = KesraNNSEngine(as_points(points, "points", "N"), radius, method,
                                      cells_per_radius=cells_per_radius,
                                      subtree_threshold=subtree_threshold, graph_degree=graph_degree)
        self._radius = float(radius)

    @property
    def radius(self) -> float:
        """Search radius given at construction."""
        return self._radius

    @property
    def method(self) -> str:
        """Search method: "voxel", "kdtree", "hybrid" or "graph"."""
        return self._engine.method

    @property
    def engine(self) -> KesraNNSEngine:
        """The native engine behind this object."""
        return self._engine

    def __len__(self) -> int:
        return len(self._engine)

    def __repr__(self) -> str:
        return f"KesraNNS(method={self.method!r}, radius={self._radius!r}, points={len(self)})"

    def stats(self) -> GridStats | None:
        """Grid occupancy (`num_cells`, `max_points_per_cell`, `mean_points_per_cell`,
        plus `num_subtrees` for "hybrid" and `graph_degree` for "graph"), or None for
        "kdtree", which has no grid."""
        return self._engine.grid_stats()

    def find_neighbours(self, queries: ArrayLike, num_neighbours: int, *, num_threads: int = 0,
                        epsilon: float = 0.0, progress: bool = False,
                        ) -> tuple[NDArray[np.int32], NDArray[np.float32]]:
        """The `num_neighbours` nearest points strictly within the radius of each query.

        Args:
            queries: Query points, shape (M, 3)
            num_neighbours: Neighbours to return per query point (k)
            num_threads: Worker threads for this call; 0 uses RAYON_NUM_THREADS, then
                RAYON_RS_NUM_CPUS, then all CPUs
            epsilon: Stop a query's search early once k neighbours closer than this
                have been found (0 keeps the search exact)
            progress: Show a progress bar on standard error when it is a terminal

        Returns:
            Row numbers into `points`, int32 (M, k), nearest first, -1 padded, and
            the distances, float32 (M, k), -1 padded
        """
        return self._engine.find_neighbours(as_points(queries, "queries", "M"), num_neighbours,
                                            num_threads=num_threads, epsilon=epsilon, progress=progress)

    def count_neighbours(self, queries: ArrayLike, *, num_threads: int = 0,
                         distance_weight_factor: float | None = None, progress: bool = False,
                         ) -> NDArray[np.float32]:
        """How many points lie strictly within the radius of each query (a query point
        that is also a search point counts itself).

        Args:
            queries: Query points, shape (M, 3)
            num_threads: Worker threads for this call, as for `find_neighbours`
            distance_weight_factor: None counts points; p >= 0 sums
                (1 - distance / radius) ** p over them instead
            progress: Show a progress bar on standard error when it is a terminal

        Returns:
            float32 (M,): counts (whole numbers) or weighted sums
        """
        return self._engine.count_neighbours(as_points(queries, "queries", "M"), num_threads=num_threads,
                                             distance_weight_factor=distance_weight_factor, progress=progress)

    def __getstate__(self) -> dict[str, Any]:
        # The engine pickles its built structure itself.
        return {"engine": self._engine, "radius": self._radius}

    def __setstate__(self, state: dict[str, Any]) -> None:
        engine, radius = state["engine"], state["radius"]
        if not isinstance(engine, KesraNNSEngine):
            raise TypeError(f"expected a KesraNNSEngine in the state, got {type(engine).__name__}")
        self._engine, self._radius = engine, float(radius)
