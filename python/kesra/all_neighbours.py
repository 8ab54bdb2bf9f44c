"""Every neighbour within the radius, in compressed rows: `AllNeighbours`, `find_all`,
which asks the engine for it, and `row_slices`, which cuts a call into pieces of a
bounded number of pairs.

The engine writes each row's neighbours straight into its place in the compressed rows
(`KesraNNS.find_all_neighbours` says how), so a call holds little beyond its result.
"""

from __future__ import annotations

import importlib
import operator
from typing import Any, NamedTuple, Protocol, Self

import numpy as np
from numpy.typing import NDArray

from kesra.rows import caller_rows

__all__ = ["AllNeighbours", "find_all", "row_slices"]


class CompressedRows(NamedTuple):
    """The three arrays of `AllNeighbours`."""

    offsets: NDArray[np.int64]
    """int64 (M + 1,): where each row starts; `offsets[-1]` is the number of pairs"""
    indices: NDArray[np.int32]
    """int32: row numbers of the search points (int64 when there are more than 2**31 - 1)"""
    distances: NDArray[np.float32]
    """float32: Euclidean distances, ascending within each row unless asked otherwise"""


class AllNeighbours(CompressedRows):
    """Every neighbour of M query rows, in compressed rows: the neighbours of row i are
    `indices[offsets[i]:offsets[i + 1]]`, at `distances[offsets[i]:offsets[i + 1]]`,
    nearest first (by squared distance, equal ones by row number) unless asked otherwise.
    A named tuple of the three arrays; `num_points`, the number of search points the row
    numbers refer to, rides along (None when not known)."""

    num_points: int | None = None

    def __new__(cls, offsets: NDArray[np.int64], indices: NDArray[np.int32], distances: NDArray[np.float32],
                num_points: int | None = None) -> Self:
        self = super().__new__(cls, offsets, indices, distances)
        self.num_points = num_points
        return self

    def _replace(self, **changes: Any) -> Self:
        return type(self)(**{**self._asdict(), **changes}, num_points=self.num_points)

    def counts(self) -> NDArray[np.int64]:
        """Neighbours per query row, int64 (M,)."""
        return np.diff(self.offsets)

    def to_csr(self, num_points: int | None = None) -> Any:
        """The result as a `scipy.sparse.csr_array` of shape (M, num_points) holding the
        distances (needs scipy); `num_points` defaults to the number of search points
        and must exceed every row number. A neighbour at distance 0, such as the query
        point itself, is a stored entry with value 0: do not call `eliminate_zeros()`
        on it."""
        if num_points is None:
            if self.num_points is None:
                raise TypeError("to_csr needs num_points: this result does not know how many search points "
                                "there are")
            num_points = self.num_points
        width = operator.index(num_points)
        if len(self.indices) and width <= (largest := int(self.indices.max())):
            raise ValueError(f"num_points must exceed the largest row number, {largest:,}, got {width:,}: "
                             "pass the number of search points, len(nns)")
        if width < 0:
            raise ValueError(f"num_points must be at least 0, got {width:,}")
        try:
            sparse = importlib.import_module("scipy.sparse")
        except ImportError:
            raise ImportError("to_csr needs scipy: pip install scipy") from None
        shape = (len(self.offsets) - 1, width)
        return sparse.csr_array((self.distances, self.indices, self.offsets), shape=shape, copy=False)


class Engine(Protocol):
    def find_all_neighbours(self, query_points: NDArray[np.float32], sort: bool = True, num_threads: int = 0,
                            progress: bool = False, counts: NDArray[np.int64] | None = None,
                            ) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float32]]: ...


def find_all(engine: Engine, queries: NDArray[np.float32], *, sort: bool = True, num_threads: int = 0,
             progress: bool = False, row_numbers: NDArray[Any] | None = None,
             counts: NDArray[np.int64] | None = None) -> AllNeighbours:
    """Every point within the radius of each row of `queries`, float32 (M, 3), from
    `engine`'s `find_all_neighbours`. `row_numbers`, when given, turns the engine's row
    numbers into the caller's (`kesra.rows.caller_rows`: an increasing map, so sorted
    rows stay sorted)."""
    offsets, indices, distances = engine.find_all_neighbours(queries, sort=sort, num_threads=num_threads,
                                                             progress=progress, counts=counts)
    return AllNeighbours(offsets, caller_rows(row_numbers, indices, num_threads), distances)


def row_slices(counts: NDArray[np.int64], max_pairs: int) -> list[slice]:
    """Consecutive slices of rows, each holding at most `max_pairs` pairs by `counts`,
    except a single row that alone holds more."""
    ends = np.cumsum(counts)
    slices, start, before = [], 0, 0
    while start < len(counts):
        stop = int(np.searchsorted(ends, before + max_pairs, side="right"))
        stop = max(stop, start + 1)
        slices.append(slice(start, stop))
        before, start = int(ends[stop - 1]), stop
    return slices
