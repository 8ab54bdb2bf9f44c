"""`KesraNNS`: fixed-radius neighbour search over any (N, 3) array-like."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any, NotRequired, TypedDict

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra._kesra import KesraNNSEngine
from kesra.all_neighbours import AllNeighbours, find_all, row_slices
from kesra.arguments import (check_result_size, engine_options, explained_memory_error, flag, non_negative,
                             radius_value, thread_count)
from kesra.arguments import whole_number as whole_number  # where the rest of the package finds it
from kesra.clusters import ClusterMethods
from kesra.method_choice import Choice, choose_method
from kesra.origin import Origin, chosen_origin, to_float32, warn_if_coarse
from kesra.rows import MAX_ENGINE_ROWS, NonFinite, as_rows, caller_rows, check_engine_rows, finite_rows, spread
from kesra.saved_state import Fields, restored, saved
from kesra.shape_methods import ShapeMethods

__all__ = ["GridStats", "KesraNNS", "NonFinite"]


class GridStats(TypedDict):
    """Occupancy of the voxel grid of the "voxel", "hybrid" and "graph" methods."""

    num_cells: int
    max_points_per_cell: int
    mean_points_per_cell: float
    num_subtrees: NotRequired[int]  # "hybrid" only
    graph_degree: NotRequired[int]  # "graph" only: the degree actually used
    rows_left_out: NotRequired[int]  # only when non-finite search rows were left out
    method_choice: NotRequired[str]  # only when method="auto" chose the method


class KesraNNS(ClusterMethods, ShapeMethods):
    """Exact (or, with method "graph", approximate) fixed-radius neighbour search.

    Builds a search structure over `points`, an array-like of shape (N, 3) (a list,
    any real dtype, any memory layout, read-only arrays). The points are converted to
    C-contiguous float32 once, here, and copied into the structure: distances are
    Euclidean, computed in float32, and a point at exactly `radius` is never a
    neighbour. Later changes to `points` do not affect the search. Query arrays are
    converted the same way on every call (no copy when they already are C-contiguous
    float32, and no origin is set); a single point of shape (3,) is one query row.

    Args:
        points: Search points, shape (N, 3)
        radius: Search radius, positive and finite (compared as its nearest float32)
        method: "auto" (default) chooses "voxel" or "kdtree" from a quick
            look at the cloud (`method_choice` says which, and on what figures); or
            one of `kesra.available_methods()`: "voxel", "kdtree", "hybrid", "graph"
        cells_per_radius: Voxel cells per radius for the grid-based methods
        subtree_threshold: "hybrid"/"graph": points in a cell above which it gets a kd subtree
        graph_degree: "graph": neighbours kept per point in the graph
        nonfinite: "drop" (default) leaves rows with a NaN or infinite coordinate out
            of the structure, and query rows with one get no neighbours and a count
            of 0; row numbers still refer to `points`. "keep" gives the engine's own
            rules: a NaN distance counts as within the radius, so such rows match
            each other (and, with "kdtree", other points too)
        origin: "auto" (default) subtracts the whole-number floor of the minimum corner
            of the finite rows from `points` and from every query array, in float64,
            before they become float32, when `points` are wider than float32 (float64,
            int64, a list) and float32 would lose precision that matters at this radius
            (its spacing at the largest coordinate above 1e-4 of r), as georeferenced
            coordinates would. Distances and row numbers do not change; `origin`
            reports the shift. None never shifts; three numbers shift by them. Integers
            beyond 2**53 are shifted in integers, exactly.

    float32 coordinates (or queries to a search with an origin) whose spacing exceeds 1e-3
    of the radius, and coordinates beyond float32's range (they become infinite), give a
    `kesra.origin.PrecisionWarning`. Masked arrays that mask anything are refused. At most
    2**31 - 1 points are kept (`kesra.dask.TiledEngine` searches more): more raise
    ValueError before they are converted. The structure is built on RAYON_NUM_THREADS
    threads (all CPUs when unset); `num_threads` sizes each query call, at most 8 per CPU
    (and at least 1,024). Unknown methods raise the engine's error. Instances are
    immutable, safe to query from several threads at once, and pickle to the built
    structure and origin (unpickling does not rebuild it), with a checksum that refuses
    a damaged pickle (docs/saving.md).
    """

    __slots__ = ("_engine", "_radius", "_nonfinite", "_rows", "_num_rows", "_origin", "_choice")

    def __init__(self, points: ArrayLike, radius: float, method: str = "auto", *,
                 cells_per_radius: int = 1, subtree_threshold: int = 64, graph_degree: int = 16,
                 nonfinite: NonFinite = "drop", origin: Origin = "auto") -> None:
        radius = radius_value(radius)
        options = engine_options(cells_per_radius, subtree_threshold, graph_degree)
        if nonfinite not in ("drop", "keep"):
            raise ValueError(f'nonfinite must be "drop" or "keep", got {nonfinite!r}')
        values = as_rows(points, "points", "N")
        check_engine_rows(values, "points", nonfinite == "drop")
        self._origin = chosen_origin(values, radius, origin)
        array = to_float32(values, self._origin, "points")
        num_rows, rows = len(array), None
        if nonfinite == "drop":
            finite = finite_rows(array)
            if not finite.all():
                array = array[finite]
                # A trailing -1 maps the engine's -1 padding to itself.
                rows = np.append(np.flatnonzero(finite), -1).astype(
                    np.int64 if num_rows > MAX_ENGINE_ROWS else np.int32)
                rows.flags.writeable = False
        warn_if_coarse(array, radius)
        self._choice = choose_method(array, radius) if method == "auto" else None
        if self._choice is not None:
            method = self._choice.method
        with explained_memory_error(lambda: f"to build the {method!r} structure over {len(array):,} points at "
                                    f"radius {radius:g}, cells_per_radius={options['cells_per_radius']:,}"):
            self._engine = KesraNNSEngine(array, radius, method, **options)
        self._radius, self._nonfinite, self._rows, self._num_rows = radius, nonfinite, rows, num_rows

    @property
    def origin(self) -> NDArray[np.float64] | None:
        """The shift subtracted from the points and every query before they became
        float32: a read-only float64 (3,) array, or None when there is none. The engine
        holds `points - origin`."""
        return self._origin

    @property
    def radius(self) -> float:
        """Search radius given at construction."""
        return self._radius

    @property
    def method(self) -> str:
        """Search method: "voxel", "kdtree", "hybrid" or "graph" (with `method="auto"`,
        the one chosen)."""
        return self._engine.method

    @property
    def method_choice(self) -> Choice | None:
        """With `method="auto"`, the method chosen and the figures it was chosen on
        (`kesra.method_choice` explains them); None for a method given by name."""
        return self._choice

    @property
    def nonfinite(self) -> NonFinite:
        """How rows with a NaN or infinite coordinate are handled: "drop" or "keep"."""
        return self._nonfinite

    @property
    def rows_left_out(self) -> int:
        """Search rows left out of the structure for a non-finite coordinate."""
        return self._num_rows - len(self._engine)

    @property
    def engine(self) -> KesraNNSEngine:
        """The native engine behind this object. It answers in its own rows and frame:
        when rows were left out it holds the others only, numbered from 0, and when
        `origin` is set it holds `points - origin`, so unshifted queries find nothing
        there. This object's calls (`neighbour_counts` for exact counts) do both."""
        return self._engine

    def __len__(self) -> int:
        """Rows of `points`, left-out rows included: returned row numbers are below it."""
        return self._num_rows

    def __repr__(self) -> str:
        extra = f", rows_left_out={self.rows_left_out}" if self.rows_left_out else ""
        extra += ", nonfinite='keep'" if self._nonfinite == "keep" else ""
        extra += f", origin={tuple(float(v) for v in self._origin)}" if self._origin is not None else ""
        extra += f", chosen={self._choice.describe()!r}" if self._choice is not None else ""
        return f"KesraNNS(method={self.method!r}, radius={self._radius!r}, points={len(self)}{extra})"

    def stats(self) -> GridStats | None:
        """Grid occupancy (`num_cells`, `max_points_per_cell`, `mean_points_per_cell`,
        plus `num_subtrees` for "hybrid" and `graph_degree` for "graph", and
        `rows_left_out` when non-finite rows were left out, and `method_choice` when
        the method was chosen automatically), or None for "kdtree", which has no grid
        (`repr()` and `method_choice` still tell how it was chosen)."""
        stats = self._engine.grid_stats()
        if stats is None:
            return None
        if self.rows_left_out:
            stats["rows_left_out"] = self.rows_left_out
        if self._choice is not None:
            stats["method_choice"] = self._choice.describe()
        return stats

    def find_neighbours(self, queries: ArrayLike, num_neighbours: int, *, num_threads: int = 0,
                        epsilon: float = 0.0, progress: bool = False,
                        ) -> tuple[NDArray[np.int32], NDArray[np.float32]]:
        """The `num_neighbours` nearest points strictly within the radius of each query.

        Args:
            queries: Query points, shape (M, 3), or one point of shape (3,)
            num_neighbours: Neighbours to return per query point (k), at least 1
            num_threads: Worker threads for this call; 0 uses RAYON_NUM_THREADS, then
                RAYON_RS_NUM_CPUS, then all CPUs
            epsilon: Stop a query's search early once k neighbours closer than this
                have been found (0, the default, keeps the search exact; not negative).
                Measured no faster than the exact search on our clouds
            progress: Show a progress bar on standard error when it is a terminal

        Returns:
            Row numbers into `points`, int32 (M, k) (int64 when `points` has more
            than 2**31 - 1 rows), nearest first, -1 padded, and the Euclidean
            distances, float32 (M, k), -1 padded. A query point that is
            also a search point is its own first neighbour, at distance 0.
        """
        k = whole_number(num_neighbours, "num_neighbours", 1)
        threads = thread_count(num_threads)
        non_negative(epsilon, "epsilon")
        progress = flag(progress, "progress")
        points, finite = self._queries(queries)
        check_result_size(len(points) if finite is None else len(finite), k)
        with explained_memory_error(lambda: f"to find {k:,} neighbours of {len(points):,} query rows"):
            indices, distances = self._engine.find_neighbours(points, k, num_threads=threads, epsilon=epsilon,
                                                              progress=progress)
        indices = caller_rows(self._rows, indices, threads)
        if finite is not None:
            indices, distances = spread(indices, finite, -1), spread(distances, finite, -1)
        return indices, distances

    def count_neighbours(self, queries: ArrayLike, *, num_threads: int = 0,
                         distance_weight_factor: float | None = None, progress: bool = False,
                         ) -> NDArray[np.float32]:
        """How many points lie strictly within the radius of each query (a query point
        that is also a search point counts itself).

        Args:
            queries: Query points, shape (M, 3), or one point of shape (3,)
            num_threads: Worker threads for this call, as for `find_neighbours`
            distance_weight_factor: None counts points; p >= 0 sums
                (1 - distance / radius) ** p over them instead
            progress: Show a progress bar on standard error when it is a terminal

        Returns:
            float32 (M,): counts (whole numbers, exact up to 2**24; `neighbour_counts`
            gives exact int64 counts) or weighted sums
        """
        threads = thread_count(num_threads)
        non_negative(distance_weight_factor, "distance_weight_factor")
        progress = flag(progress, "progress")
        points, finite = self._queries(queries)
        with explained_memory_error(lambda: f"to count the neighbours of {len(points):,} query rows"):
            counts = self._engine.count_neighbours(points, num_threads=threads,
                                                   distance_weight_factor=distance_weight_factor, progress=progress)
        return counts if finite is None else spread(counts, finite, 0)

    def neighbour_counts(self, queries: ArrayLike, *, num_threads: int = 0, progress: bool = False,
                         ) -> NDArray[np.int64]:
        """How many points lie strictly within the radius of each query, exactly, as
        int64 (M,): what `count_neighbours` counts, without float32's rounding above
        2**24. Arguments as for `count_neighbours`."""
        threads = thread_count(num_threads)
        progress = flag(progress, "progress")
        points, finite = self._queries(queries)
        with explained_memory_error(lambda: f"to count the neighbours of {len(points):,} query rows"):
            counts = self._engine.neighbour_counts(points, num_threads=threads, progress=progress)
        return counts if finite is None else spread(counts, finite, 0)

    def find_all_neighbours(self, queries: ArrayLike, *, sort: bool = True, num_threads: int = 0,
                            progress: bool = False) -> AllNeighbours:
        """Every point strictly within the radius of each query, in compressed rows:
        exactly the points `count_neighbours` counts (for "graph", those its walk
        reaches), at the distances `find_neighbours` reports.

        The engine answers rows that follow each other in space (such as a cloud's own
        points) in one pass, a window of rows at a time, each window's rows placed by
        their counts; rows that jump about are counted first, the result sized from the
        counts, and each row written straight into its place. Beyond its result the
        call holds about a window's entries and a few buffers per thread. When the
        result may not fit in memory, use `iter_all_neighbours`.

        Args:
            queries: Query points, shape (M, 3), or one point of shape (3,)
            sort: Each row ascending by squared distance, equal ones by row number, so that
                "voxel", "kdtree" and "hybrid" return the same bytes; False leaves each
                row in the search's own order (the same set), which is faster
            num_threads: Worker threads for this call, as for `find_neighbours`
            progress: Show one progress bar on standard error, when it is a terminal,
                for the whole call (rows counted first count twice: counted and found)

        Returns:
            `AllNeighbours(offsets, indices, distances)`: row i's neighbours are
            `indices[offsets[i]:offsets[i + 1]]` (int32 row numbers into `points`,
            int64 when `points` has more than 2**31 - 1 rows) at
            `distances[offsets[i]:offsets[i + 1]]` (float32); offsets is int64 (M + 1,).
            `to_csr()` turns it into a scipy sparse array of width `len(nns)`.

        Raises:
            MemoryError: when the result would not fit in the memory the process can
                still allocate (the least of free memory and its address-space limit),
                naming the pairs it would hold (counted, or at least those counted so
                far). Before refusing, the call holds no more than the offsets, the
                rows answered so far and a few million staged pairs, and counts at
                most 65,536 rows past the point where the result stopped fitting. Nothing
                of the result is returned.
        """
        threads = thread_count(num_threads)
        sort, progress = flag(sort, "sort"), flag(progress, "progress")
        points, finite = self._queries(queries)
        with explained_memory_error(lambda: f"to find all neighbours of {len(points):,} query rows"):
            result = find_all(self._engine, points, sort=sort, num_threads=threads, progress=progress,
                              row_numbers=self._rows)
        return self._all_rows(result, finite)

    def iter_all_neighbours(self, queries: ArrayLike, *, max_pairs: int = 1 << 26, sort: bool = True,
                            num_threads: int = 0) -> Iterator[tuple[int, AllNeighbours]]:
        """`find_all_neighbours` in pieces, for results too large to hold at once: yields
        `(first_row, AllNeighbours)` for consecutive slices of the query rows, each with
        at most `max_pairs` neighbour pairs (a row that alone holds more comes alone).
        The rows are counted once, up front, to find where to cut; joined, the pieces
        equal the whole call's result.

        Args:
            queries: Query points, shape (M, 3), or one point of shape (3,)
            max_pairs: Pairs per piece, at least 1 (default 2**26: 512 MiB of indices
                and distances)
            sort, num_threads: As for `find_all_neighbours`
        """
        threads = thread_count(num_threads)
        sort = flag(sort, "sort")
        limit = whole_number(max_pairs, "max_pairs", 1)
        points, finite = self._queries(queries)
        counts = self._engine.neighbour_counts(points, num_threads=threads)
        # Pieces are cut over the caller's rows; rows left out have no pairs.
        places = np.flatnonzero(finite) if finite is not None else None
        all_counts = counts if finite is None else spread(counts, finite, 0)
        for part in row_slices(all_counts, limit):
            searched = part if places is None else slice(*np.searchsorted(places, [part.start, part.stop]))
            with explained_memory_error(lambda: f"to find all neighbours of rows {part.start:,}-{part.stop - 1:,}"):
                result = find_all(self._engine, points[searched], sort=sort, num_threads=threads,
                                  row_numbers=self._rows, counts=counts[searched])
            yield part.start, self._all_rows(result, None if finite is None else finite[part])

    def _all_rows(self, result: AllNeighbours, finite: NDArray[np.bool_] | None) -> AllNeighbours:
        """`result` over all the caller's query rows: rows left out are empty."""
        offsets = result.offsets
        if finite is not None:
            offsets = offsets[np.concatenate(([0], np.cumsum(finite)))]
        return AllNeighbours(offsets, result.indices, result.distances, num_points=self._num_rows)

    def _queries(self, queries: ArrayLike) -> tuple[NDArray[np.float32], NDArray[np.bool_] | None]:
        """The query rows to search, and which rows they are when some were left out."""
        values = as_rows(queries, "queries", "M", single=True)
        if self._origin is not None and np.can_cast(values.dtype, np.float32):
            warn_if_coarse(values, self._radius, queries=True)  # shifting them now cannot help
        points = to_float32(values, self._origin, "queries")
        if self._nonfinite == "drop":
            finite = finite_rows(points)
            if not finite.all():
                return points[finite], finite
        return points, None

    def __getstate__(self) -> dict[str, Any]:
        return saved(Fields(self._engine, self._radius, self._nonfinite, self._rows, self._num_rows,
                            self._origin, self._choice))

    def __setstate__(self, state: dict[str, Any]) -> None:
        (self._engine, self._radius, self._nonfinite, self._rows, self._num_rows, self._origin,
         self._choice) = restored(state)
