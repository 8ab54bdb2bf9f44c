"""Clusters, outlier flags and pairs within the radius of a `KesraNNS`'s own points.

`ClusterMethods` gives `KesraNNS` its `dbscan`, `radius_outliers`, `statistical_outliers`,
`mean_neighbour_distances` and `pairs`. Each works on the engine's points without a list
of neighbour pairs, in memory of a fixed number of bytes per point, and answers with the
same bytes at any thread count.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra.all_neighbours import row_slices
from kesra.arguments import explained_memory_error, flag, thread_count, whole_number
from kesra.rows import spread

if TYPE_CHECKING:
    from kesra._kesra import KesraNNSEngine

__all__ = ["ClusterMethods", "Clusters"]


class Clusters(NamedTuple):
    """What `KesraNNS.dbscan` returns: one entry per row of the points."""

    labels: NDArray[np.int64]  # the cluster of each row, 0, 1, ... by lowest row; -1 for noise
    core: NDArray[np.bool_]  # whether each row is a core point


class ClusterMethods:
    """The clustering and outlier methods of `KesraNNS` (see there for the attributes)."""

    __slots__ = ()
    _engine: KesraNNSEngine
    _rows: NDArray[Any] | None  # int32, or int64 past 2**31 - 1 rows
    _num_rows: int

    def _queries(self, queries: ArrayLike) -> tuple[NDArray[np.float32], NDArray[np.bool_] | None]:
        raise NotImplementedError  # KesraNNS's

    def _finite(self) -> NDArray[np.bool_] | None:
        """Which rows of the points the engine holds, when some were left out."""
        if self._rows is None:
            return None
        finite = np.zeros(self._num_rows, np.bool_)
        finite[self._rows[:-1]] = True
        return finite

    def _rows_of(self, queries: ArrayLike | None) -> tuple[NDArray[np.float32] | None, NDArray[np.bool_] | None]:
        """The engine's query rows (None: its own points), and which rows they are."""
        return self._queries(queries) if queries is not None else (None, self._finite())

    def dbscan(self, min_samples: int = 10, *, min_cluster_size: int = 1, num_threads: int = 0,
               progress: bool = False, core: ArrayLike | None = None) -> Clusters:
        """Density-based clusters of the points (DBSCAN), without a list of neighbours.

        A point is a core point when at least `min_samples` points, itself included, lie
        strictly within the radius (scikit-learn's rule, with a strict `<`). Cores within
        the radius of each other share a cluster. A point that is not a core but lies
        within the radius of one is a border point and joins the cluster of its nearest
        core, equally near cores going to the lowest row number (scikit-learn gives it to
        whichever core its scan meets first, so border labels may differ from its; the
        partition of the cores is the same wherever no pair lies exactly at the radius).
        Clusters of fewer than `min_cluster_size` points become noise (PCL's minimum
        cluster size), and the rest are numbered 0, 1, ... in the order of their lowest
        row number. Rows left out for a non-finite coordinate are noise and not core.

        `min_samples=1` makes every point a core: Euclidean cluster extraction, the
        connected components of "closer than the radius" (PCL's
        EuclideanClusterExtraction with `min_cluster_size`; Open3D's `cluster_dbscan`
        with `min_points=1`).

        Memory: no pair of neighbours is kept. Beyond the engine and the results (9
        bytes a point: int64 labels and the core mask), the call holds 9 bytes a point
        (core flags, a union-find of the cores, each point's set) plus a few buffers per
        thread. Each point is searched once: its neighbours give its count, then a core is
        united with the cores among them and offered to the others as their nearest
        core (with "graph", or non-finite points kept, the counts come first, in a
        pass of their own that stops at `min_samples`).

        Args:
            min_samples: Points within the radius (itself included) that make a core, >= 1
            min_cluster_size: Clusters smaller than this become noise, >= 1
            num_threads: Worker threads, as for `find_neighbours`
            progress: Show a progress bar on standard error when it is a terminal
            core: None counts the neighbours; or a bool array of one flag per row to use
                as the core points instead, for a caller that knows them (a tiled run
                whose tiles carry a margin of the radius: `~radius_outliers(min_samples,
                queries=...)` on a larger engine gives them exactly)

        Returns:
            `Clusters(labels, core)`: int64 (N,) labels, -1 for noise, and bool (N,) cores;
            the same bytes at any thread count and on every run.
        """
        samples = whole_number(min_samples, "min_samples", 1)
        smallest = whole_number(min_cluster_size, "min_cluster_size", 1)
        threads = thread_count(num_threads)
        progress = flag(progress, "progress")
        finite = self._finite()
        given = None
        if core is not None:
            given = np.asarray(core)
            if given.dtype != np.bool_ or given.shape != (self._num_rows,):
                raise ValueError(f"core must be a bool array of shape ({self._num_rows},), "
                                 f"got {given.dtype} {given.shape}")
            given = np.ascontiguousarray(given if finite is None else given[finite])
        with explained_memory_error(lambda: f"to cluster {len(self._engine):,} points"):
            labels, cores = self._engine.dbscan(samples, smallest, num_threads=threads, progress=progress,
                                                core=given)
        if finite is not None:
            labels, cores = spread(labels, finite, -1), spread(cores, finite, False)
        return Clusters(labels, cores)

    def radius_outliers(self, min_neighbours: int, *, queries: ArrayLike | None = None, num_threads: int = 0,
                        progress: bool = False) -> NDArray[np.bool_]:
        """True for each point with fewer than `min_neighbours` points, itself included,
        strictly within the radius. A point's search stops once it has counted
        `min_neighbours`, so this costs less than counting.

        Open3D's `remove_radius_outlier(nb_points, radius)` and PCL's
        RadiusOutlierRemoval keep the points with enough neighbours; these flags are the
        points they remove, with the point itself counted and a strict `<`.

        Args:
            min_neighbours: Points needed within the radius, itself included
            queries: None flags the points themselves (one flag per row, rows left out
                for a non-finite coordinate are outliers); or query points (M, 3), each
                counted against the points (counting itself only if it is one of them),
                as a tiled caller needs for the points of its tile
            num_threads, progress: As for `find_neighbours`

        Returns:
            bool (N,) or (M,), the same bytes at any thread count
        """
        limit = whole_number(min_neighbours, "min_neighbours")
        threads, progress = thread_count(num_threads), flag(progress, "progress")
        points, finite = self._rows_of(queries)
        flags = self._engine.radius_outliers(limit, points, num_threads=threads, progress=progress)
        return flags if finite is None else spread(flags, finite, limit > 0)

    def mean_neighbour_distances(self, queries: ArrayLike | None = None, k: int = 16, *, num_threads: int = 0,
                                 progress: bool = False) -> NDArray[np.float64]:
        """The mean distance from each point to its `k` nearest other points strictly
        within the radius, in float64; a point with fewer than k counts each missing one
        at the radius. The k + 1 nearest (the point itself among them, at 0) are summed
        in ascending order, so the result is the same bytes whichever of equally distant
        points were found.

        Args:
            queries: None for the points themselves (rows left out for a non-finite
                coordinate are NaN); or query points (M, 3) that are themselves among the
                points (the nearest one found is taken as the point itself), as a tiled
                caller needs for the points of its tile
            k: Other points to average over, >= 1
            num_threads, progress: As for `find_neighbours`
        """
        neighbours = whole_number(k, "k", 1)
        threads, progress = thread_count(num_threads), flag(progress, "progress")
        points, finite = self._rows_of(queries)
        means = self._engine.mean_neighbour_distances(neighbours, points, num_threads=threads, progress=progress)
        return means if finite is None else spread(means, finite, np.nan)

    def statistical_outliers(self, k: int = 16, std_ratio: float = 2.0, *, num_threads: int = 0,
                             progress: bool = False) -> NDArray[np.bool_]:
        """True for each point whose mean distance to its `k` nearest other points within
        the radius (`mean_neighbour_distances`; missing ones count at the radius, so a
        point alone is an outlier) exceeds the cloud's mean of them plus `std_ratio`
        standard deviations (the sample deviation, divided by n - 1). The mean and the
        deviation are summed in float64 one point after another in row order
        (`np.cumsum(means)[-1]` gives the same sum), so the flags never change from run
        to run or with the thread count.

        This is PCL's StatisticalOutlierRemoval (mean_k other points, std_mul) and
        Open3D's `remove_statistical_outlier(nb_neighbors, std_ratio)` with the
        neighbours bounded by the radius; Open3D averages over the point itself too. Rows
        left out for a non-finite coordinate are outliers.

        Returns:
            bool (N,), one flag per row of the points
        """
        neighbours = whole_number(k, "k", 1)
        ratio = float(std_ratio)
        if not np.isfinite(ratio):
            raise ValueError(f"std_ratio must be a finite number, got {std_ratio!r}")
        threads, progress = thread_count(num_threads), flag(progress, "progress")
        flags, _, _, _ = self._engine.statistical_outliers(neighbours, ratio, num_threads=threads, progress=progress)
        finite = self._finite()
        return flags if finite is None else spread(flags, finite, True)

    def pairs(self, *, max_pairs: int = 1 << 26, num_threads: int = 0) -> Iterator[NDArray[np.int64]]:
        """Every unordered pair of points strictly within the radius, once, as int64
        (M, 2) arrays of row numbers (i, j) with i < j, at most `max_pairs` pairs each
        (a point whose pairs alone are more comes alone). The set is scipy's
        `cKDTree.query_pairs(r, output_type="ndarray")` wherever no pair lies exactly at
        the radius; the order (points in the engine's spatial order, each with its
        partners as its search finds them) is the same on every call.

        The points are counted once, up front, to find where to cut (8 bytes a point);
        each piece is then searched and written directly, so memory stays one piece.
        """
        limit = whole_number(max_pairs, "max_pairs", 1)
        threads = thread_count(num_threads)
        counts = self._engine.pair_counts(num_threads=threads)
        for part in row_slices(counts, limit):
            with explained_memory_error(lambda: f"to list the pairs of points {part.start:,}-{part.stop - 1:,}"):
                pairs = self._engine.pairs(part.start, part.stop, counts[part], num_threads=threads)
            yield pairs if self._rows is None else self._rows[pairs].astype(np.int64)
