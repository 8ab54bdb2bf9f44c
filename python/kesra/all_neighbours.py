"""Every neighbour within the radius, in compressed rows: `AllNeighbours`, and `find_all`,
which builds it from the engine's two queries.

The engine answers a fixed number k of neighbours per row. `find_all` counts every row
first, sizes the result from the counts, then answers the rows in groups of similar
count, each group with k = its largest count, and copies the found neighbours into
place. Groups span a quarter of an octave of counts, so at most about a fifth of what
a call returns is padding, and a group is answered in slices of rows small enough that
the temporary arrays stay a fraction of the result. Groups that together fit one such
slice and half the result are answered in one call: every call starts its own threads,
which is most of the time of a small one.
"""

from __future__ import annotations

import importlib
import operator
from collections.abc import Iterator
from typing import Any, NamedTuple, Protocol, Self

import numpy as np
from numpy.typing import NDArray

from kesra._kesra import KesraInternalError
from kesra.progress import ProgressBar

__all__ = ["AllNeighbours", "find_all"]

EXACT_COUNT_LIMIT = 2**24  # float32 counts stop growing here
COUNT_SLICE_ROWS = 1 << 16  # rows per counting call, so that the bar moves
MIN_SLICE_ENTRIES = 1 << 17  # (rows x k) of one finding call, at the least
SLICE_SHARE = 16  # ... and otherwise at most this fraction of the result's entries
GROUPS_PER_OCTAVE = 4
MERGE_SHARE = 2  # groups merge into calls of at most this fraction of the result's entries
NO_GROUP = 255


class CompressedRows(NamedTuple):
    """The three arrays of `AllNeighbours`."""

    offsets: NDArray[np.int64]
    """int64 (M + 1,): where each row starts; `offsets[-1]` is the number of pairs"""
    indices: NDArray[np.int32]
    """int32: row numbers of the search points"""
    distances: NDArray[np.float32]
    """float32: Euclidean distances, ascending within each row"""


class AllNeighbours(CompressedRows):
    """Every neighbour of M query rows, in compressed rows: the neighbours of row i are
    `indices[offsets[i]:offsets[i + 1]]`, at `distances[offsets[i]:offsets[i + 1]]`,
    nearest first. A named tuple of the three arrays; `num_points`, the number of
    search points the row numbers refer to, rides along (None when not known)."""

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
    def count_neighbours(self, query_points: NDArray[np.float32], *, num_threads: int,
                         ) -> NDArray[np.float32]: ...

    def find_neighbours(self, query_points: NDArray[np.float32], num_neighbours: int, *, num_threads: int,
                        ) -> tuple[NDArray[np.int32], NDArray[np.float32]]: ...


def empty(num_rows: int) -> AllNeighbours:
    return AllNeighbours(np.zeros(num_rows + 1, np.int64), np.zeros(0, np.int32), np.zeros(0, np.float32))


def find_all(engine: Engine, queries: NDArray[np.float32], *, num_threads: int = 0, progress: bool = False,
             row_numbers: NDArray[np.int32] | None = None) -> AllNeighbours:
    """Every point within the radius of each row of `queries`, float32 (M, 3), through
    `engine`'s `count_neighbours` and `find_neighbours`. `row_numbers`, when given,
    turns the engine's row numbers into the caller's."""
    num_rows = len(queries)
    with ProgressBar(num_rows, progress) as bar:
        bar.phase("counting")
        counts = np.empty(num_rows, np.float32)
        for start in range(0, num_rows, COUNT_SLICE_ROWS):
            part = slice(start, start + COUNT_SLICE_ROWS)
            counts[part] = engine.count_neighbours(queries[part], num_threads=num_threads)
            bar.advance(len(counts[part]))
        offsets = np.zeros(num_rows + 1, np.int64)
        np.cumsum(counts, dtype=np.int64, out=offsets[1:])
        groups = group_numbers(counts)
        saturated = np.flatnonzero(counts >= EXACT_COUNT_LIMIT)
        del counts
        for row in saturated:
            exact = true_count(engine, queries[row], num_threads)
            offsets[row + 1:] += exact - (offsets[row + 1] - offsets[row])
            groups[row] = group_of(exact)

        bar.phase("finding")
        # One element past the end takes the padding of every answer, which saves
        # compacting the answers before they are copied into place.
        indices, distances = np.empty(offsets[-1] + 1, np.int32), np.empty(offsets[-1] + 1, np.float32)
        slice_entries = max(int(offsets[-1]) // SLICE_SHARE, MIN_SLICE_ENTRIES)
        present = np.flatnonzero(np.bincount(groups, minlength=NO_GROUP + 1))
        bar.advance(num_rows - int(np.count_nonzero(groups != NO_GROUP)))
        merge_entries = min(slice_entries, int(offsets[-1]) // MERGE_SHARE)
        for rows, k in merged_groups(groups, offsets, present[present != NO_GROUP], merge_entries):
            step = max(1, slice_entries // k)
            for start in range(0, len(rows), step):
                answer_rows(engine, queries, rows[start:start + step], k, (offsets, indices, distances),
                            num_threads, row_numbers)
                bar.advance(len(rows[start:start + step]))
    return AllNeighbours(offsets, indices[:-1], distances[:-1])


def group_numbers(counts: NDArray[np.float32]) -> NDArray[np.uint8]:
    """Each row's group: counts within a quarter of an octave share one; NO_GROUP for 0."""
    groups = np.full(len(counts), NO_GROUP, np.uint8)
    found = counts > 0
    groups[found] = np.ceil(np.log2(counts[found]) * GROUPS_PER_OCTAVE)
    return groups


def merged_groups(groups: NDArray[np.uint8], offsets: NDArray[np.int64], present: NDArray[np.intp],
                  limit: int) -> Iterator[tuple[NDArray[np.intp], int]]:
    """The rows of each group, in ascending order of count, with their largest count;
    groups that together fit one finding call of `limit` entries (rows x k) are answered
    as one, as every call starts its own threads, which is most of a small call's time."""
    rows: list[NDArray[np.intp]] = []
    held = largest = 0
    for group in present:
        more = np.flatnonzero(groups == group)
        k = int((offsets[more + 1] - offsets[more]).max())
        if rows and (held + len(more)) * k > limit:
            yield np.sort(np.concatenate(rows)), largest
            rows, held = [], 0
        rows.append(more)
        held += len(more)
        largest = k  # groups ascend in count
    if rows:
        yield np.sort(np.concatenate(rows)), largest


def group_of(count: int) -> int:
    return int(group_numbers(np.array([count], np.float32))[0])


def true_count(engine: Engine, query: NDArray[np.float32], num_threads: int) -> int:
    """Neighbours of one row whose float32 count reached EXACT_COUNT_LIMIT, where further
    neighbours no longer change it: asks for ever more until the row is not full."""
    k = 2 * EXACT_COUNT_LIMIT
    while True:
        indices, _ = engine.find_neighbours(query[None], k, num_threads=num_threads)
        if indices[0, -1] < 0:
            return int(np.count_nonzero(indices >= 0))
        k *= 2


def answer_rows(engine: Engine, queries: NDArray[np.float32], rows: NDArray[np.intp], k: int,
                into: tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float32]], num_threads: int,
                row_numbers: NDArray[np.int32] | None) -> None:
    """Finds the neighbours of `rows`, each with at most k, and copies them into place;
    `into` is the offsets and the two arrays with their spare last element."""
    offsets, all_indices, all_distances = into
    starts = offsets[rows]
    lengths = offsets[rows + 1] - starts
    indices, distances = engine.find_neighbours(queries[rows], k, num_threads=num_threads)
    if (indices[np.arange(len(rows)), lengths - 1] < 0).any():
        raise KesraInternalError("find_neighbours returned fewer neighbours than count_neighbours counted")
    if row_numbers is not None:
        indices = row_numbers[indices]
    positions = starts[:, None] + np.arange(k)
    positions[np.arange(k) >= lengths[:, None]] = len(all_indices) - 1
    all_indices[positions] = indices
    all_distances[positions] = distances
