"""`ShapeMethods` gives `KesraNNS` its `local_geometry`: the shape of each query's
neighbourhood at one size, or at several sizes (radii or neighbour counts k) from one
search per query."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra.arguments import explained_memory_error, flag, radius_value, thread_count, whole_number
from kesra.local_geometry import LocalGeometry, viewpoint
from kesra.rows import spread
from kesra.scales import ScaledGeometry

if TYPE_CHECKING:
    from kesra._kesra import KesraNNSEngine

__all__ = ["ShapeMethods"]


class ShapeMethods:
    """The local shape methods of `KesraNNS` (see there for the attributes)."""

    __slots__ = ()
    _engine: KesraNNSEngine
    _origin: NDArray[np.float64] | None

    def _queries(self, queries: ArrayLike) -> tuple[NDArray[np.float32], NDArray[np.bool_] | None]:
        raise NotImplementedError  # KesraNNS's

    @property
    def radius(self) -> float:
        raise NotImplementedError  # KesraNNS's

    @overload
    def local_geometry(self, queries: ArrayLike, k: int = 16, *, radii: None = None, all_within: bool = False,
                       num_threads: int = 0, progress: bool = False,
                       orient_towards: ArrayLike | None = None) -> LocalGeometry: ...
    @overload
    def local_geometry(self, queries: ArrayLike, k: Sequence[int], *, radii: None = None, all_within: bool = False,
                       num_threads: int = 0, progress: bool = False,
                       orient_towards: ArrayLike | None = None) -> ScaledGeometry: ...
    @overload
    def local_geometry(self, queries: ArrayLike, k: int = 16, *, radii: Sequence[float], all_within: bool = False,
                       num_threads: int = 0, progress: bool = False,
                       orient_towards: ArrayLike | None = None) -> ScaledGeometry: ...

    def local_geometry(self, queries: ArrayLike, k: int | Sequence[int] = 16, *, radii: Sequence[float] | None = None,
                       all_within: bool = False, num_threads: int = 0, progress: bool = False,
                       orient_towards: ArrayLike | None = None) -> LocalGeometry | ScaledGeometry:
        """The shape of each query's neighbourhood, computed natively where its
        neighbours are found: the eigenvalues of the covariance of the neighbours
        (centred on their mean, divided by their number, summed in double) and the unit
        eigenvector of the smallest, the surface normal. `kesra.features` turns the
        result into the usual eigenvalue features (linearity, planarity, ...).

        Several sizes of neighbourhood come from one search per query: with `radii`,
        every point within each radius (each at most the engine's: build it at the
        largest); with several `k`, the k nearest within the radius for each. Each
        neighbour found is added to the sums of the smallest scale that holds it, and
        each scale's sums are those of the scales inside it plus its own, so a scale
        equals the one-size call up to the order of floating-point sums.

        Args:
            queries: Query points, shape (M, 3), or one point of shape (3,)
            k: The k nearest points within the radius make the neighbourhood; a sequence
                of distinct k gives each of those sizes
            radii: A sequence of distinct radii: every point within each makes one size
                of neighbourhood (k and all_within are not used)
            all_within: Every point within the radius makes it instead (k is not used)
            num_threads: Worker threads for this call, as for `find_neighbours`
            progress: Show a progress bar on standard error when it is a terminal
            orient_towards: None, or a viewpoint (x, y, z) in the points' coordinates:
                each normal is turned to face it, as for a scanner's position

        Returns:
            `LocalGeometry(eigenvalues, normals, counts)`, or for several sizes
            `ScaledGeometry(eigenvalues, normals, counts, scales, by)` with a scale axis
            after the rows, in the order given. Rows with fewer than 3 neighbours, and
            query rows left out for a non-finite coordinate (counts 0), are NaN. A
            neighbourhood with no defined normal, every point at one spot or on one line
            (its two smallest eigenvalues within 1e-6 of the largest), has NaN normals
            and its eigenvalues. The k nearest are summed in the order of their row
            numbers (for several k, each scale's added ones so), so "voxel", "kdtree" and
            "hybrid" give the same bytes when they keep the same points (at a k-th-place
            tie they may keep different ones); every point within a radius is summed in
            the structure's walk order, so methods agree up to the order of
            floating-point sums (eigenvalues to about 1e-6 of their sum); "graph" uses
            the neighbours its walk reaches.
        """
        if radii is None and isinstance(k, (int, np.integer)):
            neighbours, within = whole_number(k, "k", 1), flag(all_within, "all_within")
            values, normals, counts = self._shape_call(
                queries, num_threads, progress, orient_towards,
                lambda rows, threads, bar, view: self._engine.local_geometry(
                    rows, neighbours, within, threads, bar, view))
            return LocalGeometry(values, normals, counts)
        if radii is not None and not isinstance(k, (int, np.integer)):
            raise ValueError("give several radii or several k, not both")
        if radii is None and flag(all_within, "all_within"):
            raise ValueError("all_within takes every point within the radius: give several radii, not several k")
        scales: list[float] | list[int]
        if radii is not None:
            scales = self._radii(radii)
        else:
            ks = _sequence(k, "k", "a whole number or a sequence of them")
            scales = _distinct([whole_number(n, "k", 1) for n in ks], "k")
        # The engine takes the scales ascending; the result has them in the order given.
        order = np.argsort(scales, kind="stable")
        ascending = [scales[i] for i in order]
        given_radii, given_ks = (ascending, None) if radii is not None else (None, ascending)
        values, normals, counts = self._shape_call(
            queries, num_threads, progress, orient_towards,
            lambda rows, threads, bar, view: self._engine.scale_geometry(
                rows, given_radii, given_ks, threads, bar, view))
        if (order != np.arange(len(order))).any():  # np.take keeps them C-contiguous
            given = np.argsort(order)
            values, normals = np.take(values, given, axis=1), np.take(normals, given, axis=1)
            counts = np.take(counts, given, axis=1)
        return ScaledGeometry(values, normals, counts, tuple(scales), "radius" if radii is not None else "k")

    def _shape_call(self, queries: ArrayLike, num_threads: int, progress: bool, orient_towards: ArrayLike | None,
                    call: Callable[..., tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.int64]]],
                    ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.int64]]:
        """call(query rows, threads, progress, viewpoint) with the arguments checked,
        its rows spread back over the caller's when some were left out."""
        threads, progress = thread_count(num_threads), flag(progress, "progress")
        points, finite = self._queries(queries)
        view = viewpoint(orient_towards, self._origin)
        with explained_memory_error(lambda: f"to describe the neighbourhoods of {len(points):,} query rows"):
            values, normals, counts = call(points, threads, progress, view)
        if finite is not None:
            values, normals, counts = spread(values, finite, np.nan), spread(normals, finite, np.nan), \
                spread(counts, finite, 0)
        return values, normals, counts

    def _radii(self, radii: Sequence[float]) -> list[float]:
        """`radii` checked: positive, finite, distinct and at most the engine's radius
        as float32 values, as the engine compares them."""
        values = [radius_value(r, "radii") for r in _sequence(radii, "radii", "a sequence of numbers")]
        for value in values:
            if np.float32(value) > np.float32(self.radius):
                raise ValueError(f"radii must each be at most the engine's radius {self.radius:g}, got {value:g}: "
                                 "build the engine at the largest radius")
        _distinct([float(np.float32(v)) for v in values], "radii (as float32 values)")
        return values


def _sequence(values: object, name: str, what: str) -> list[Any]:
    if isinstance(values, (str, bytes)) or not isinstance(values, (Sequence, np.ndarray)):
        raise TypeError(f"{name} must be {what}, got {type(values).__name__}")
    if len(values) == 0:
        raise ValueError(f"{name} must hold at least one value")
    return list(values)


def _distinct(values: list[float] | list[int], name: str) -> list[float] | list[int]:
    if len(set(values)) < len(values):
        raise ValueError(f"{name} must all differ, got {values}")
    return values
