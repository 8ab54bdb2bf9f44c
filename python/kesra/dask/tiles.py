"""`TiledEngine`: a search cloud cut into axis-aligned tiles, one engine per tile, built
and kept on the Dask workers."""

from __future__ import annotations

import itertools
import math
from collections import defaultdict
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed
from numpy.typing import ArrayLike, NDArray

from kesra._kesra import KesraNNSEngine
from kesra.all_neighbours import AllNeighbours, find_all
from kesra import arguments
from kesra.dask.chunks import check_call, checked_k, joined_rows, query_array
from kesra.rows import as_points

__all__ = ["TiledEngine"]

INT32_MAX = 2**31 - 1


class _Tile(NamedTuple):
    """One tile's engine and the global row number of each of its points."""

    engine: KesraNNSEngine
    rows: NDArray[np.int64]


@dataclass(frozen=True)
class _Grid:
    """Axis-aligned tiles of edge `tile_size` from `origin`, `shape` of them per axis.
    Tile coordinates are clamped into the grid, so the edge tiles reach to infinity
    and every finite point lies in exactly one tile."""

    origin: NDArray[np.float64]
    tile_size: NDArray[np.float64]
    shape: tuple[int, int, int]
    margin: float

    def coords(self, values: NDArray[np.float64]) -> NDArray[np.int64]:
        """Tile coordinates of finite (n, 3) values."""
        t = np.floor((values - self.origin) / self.tile_size)
        return np.clip(t, 0, np.array(self.shape) - 1).astype(np.int64)

    def route(self, queries: NDArray[Any]) -> NDArray[np.int64]:
        """Tile number of each query row; -1 for rows with a non-finite coordinate."""
        q = np.asarray(queries, np.float64)
        finite = np.isfinite(q).all(axis=1)
        out = np.full(len(q), -1, np.int64)
        out[finite] = np.ravel_multi_index(tuple(self.coords(q[finite]).T), self.shape)
        return out

    def halo(self, points: NDArray[np.float32]) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        """(row, tile) pairs: every finite row with every tile whose box, grown by the
        margin, holds it. Non-finite rows belong to no tile."""
        p = np.asarray(points, np.float64)
        rows = np.flatnonzero(np.isfinite(p).all(axis=1))
        p = p[rows]
        low, high = self.coords(p - self.margin), self.coords(p + self.margin)
        span = (high - low).max(axis=0) + 1 if len(p) else np.zeros(3, np.int64)
        pair_rows, pair_tiles = [np.zeros(0, np.int64)], [np.zeros(0, np.int64)]
        for offset in itertools.product(*(range(int(s)) for s in span)):
            t = low + np.array(offset)
            inside = (t <= high).all(axis=1)
            pair_rows.append(rows[inside])
            pair_tiles.append(np.ravel_multi_index(tuple(t[inside].T), self.shape).astype(np.int64))
        return np.concatenate(pair_rows), np.concatenate(pair_tiles)


def _tile_sizes(tile_size: float | Sequence[float]) -> NDArray[np.float64]:
    """The tile edge along each axis."""
    try:
        size = np.asarray(tile_size, np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"tile_size must be one number or three, got {tile_size!r}") from None
    if size.shape not in ((), (3,)):
        raise ValueError(f"tile_size must be one number or three (one per axis), got {tile_size!r}")
    if not (size > 0).all():
        raise ValueError(f"tile_size must be positive (inf: no split along that axis), got {tile_size}")
    return np.broadcast_to(size, (3,)).copy()


def _make_grid(low: NDArray[np.float64], high: NDArray[np.float64], size: NDArray[np.float64],
               radius: float) -> _Grid:
    if not np.isfinite(low).all():  # no finite point: one tile, which stays empty
        low = high = np.zeros(3)
    shape = tuple(int(max(1, math.ceil(n))) if math.isfinite(n) else 1 for n in (high - low) / size)
    if math.prod(shape) > 2**40:
        raise ValueError(f"tile_size {tuple(size.tolist())} gives {shape} tiles; use larger tiles")
    # A neighbour lies strictly within the float32 radius in float32 arithmetic, so per
    # axis within r (1 + a few ulp) of its query. The margin adds a relative slack for
    # that and an absolute one for the float64 rounding of the tile arithmetic; a wider
    # halo only adds points to a tile, it never changes an answer.
    r = max(float(radius), float(np.float32(radius)))
    scale = float(np.abs(np.concatenate([low, high])).max()) + float(np.where(np.isfinite(size), size, 0).max())
    return _Grid(low, size, shape, r * (1 + 1e-3) + 1e-12 * scale)  # type: ignore[arg-type]


def _finite_bounds(points: NDArray[Any]) -> NDArray[np.float64]:
    p = np.asarray(points, np.float64)
    p = p[np.isfinite(p).all(axis=1)]
    if not len(p):
        return np.array([[np.inf] * 3, [-np.inf] * 3])
    return np.stack([p.min(axis=0), p.max(axis=0)])


def _touched_tiles(points: NDArray[Any], grid: _Grid) -> NDArray[np.int64]:
    return np.unique(grid.halo(as_points(points, "points", "N"))[1])


def _split_chunk(points: NDArray[Any], grid: _Grid, first_row: int,
                 ) -> dict[int, tuple[NDArray[np.float32], NDArray[np.int64]]]:
    """The chunk's points and global row numbers for each tile whose halo they fall in."""
    p = as_points(points, "points", "N")
    rows, tiles = grid.halo(p)
    order = np.argsort(tiles, kind="stable")
    rows, tiles = rows[order], tiles[order]
    starts = np.flatnonzero(np.r_[True, tiles[1:] != tiles[:-1]]) if len(tiles) else np.zeros(0, np.int64)
    pieces = np.split(rows, starts[1:])
    return {int(tiles[s]): (p[r], r + first_row) for s, r in zip(starts, pieces)}


def _build_tile(pieces: list[tuple[NDArray[np.float32], NDArray[np.int64]]], radius: float, method: str,
                options: dict[str, int]) -> _Tile:
    points = np.concatenate([p for p, _ in pieces])
    rows = np.concatenate([r for _, r in pieces])
    if (np.diff(rows) < 0).any():  # ascending rows keep sorted answers sorted once mapped
        order = np.argsort(rows, kind="stable")
        points, rows = points[order], rows[order]
    return _Tile(KesraNNSEngine(points, radius, method, **options), rows)


def _tile_find(tile: _Tile, queries: NDArray[Any], grid: _Grid, tile_id: int, num_neighbours: int,
               epsilon: float, num_threads: int, index_dtype: np.dtype[Any],
               ) -> tuple[NDArray[np.intp], NDArray[Any], NDArray[np.float32]]:
    """Answers for the query rows routed to this tile, with global row numbers."""
    q = as_points(queries, "queries", "M")
    rows = np.flatnonzero(grid.route(q) == tile_id)
    local, distances = tile.engine.find_neighbours(q[rows], num_neighbours, num_threads=num_threads,
                                                   epsilon=epsilon)
    found = local >= 0
    indices = np.full(local.shape, -1, index_dtype)
    indices[found] = tile.rows[local[found]]
    return rows, indices, distances


def _tile_count(tile: _Tile, queries: NDArray[Any], grid: _Grid, tile_id: int,
                distance_weight_factor: float | None, num_threads: int,
                ) -> tuple[NDArray[np.intp], NDArray[np.float32]]:
    q = as_points(queries, "queries", "M")
    rows = np.flatnonzero(grid.route(q) == tile_id)
    return rows, tile.engine.count_neighbours(q[rows], num_threads=num_threads,
                                              distance_weight_factor=distance_weight_factor)


def _tile_find_all(tile: _Tile, queries: NDArray[Any], grid: _Grid, tile_id: int, num_threads: int,
                   index_dtype: np.dtype[Any], sort: bool) -> tuple[NDArray[np.intp], AllNeighbours]:
    q = as_points(queries, "queries", "M")
    rows = np.flatnonzero(grid.route(q) == tile_id)
    part = find_all(tile.engine, q[rows], sort=sort, num_threads=num_threads)
    return rows, part._replace(indices=tile.rows[part.indices].astype(index_dtype, copy=False))


def _assemble_find(num_rows: int, num_neighbours: int, index_dtype: np.dtype[Any],
                   parts: list[tuple[NDArray[np.intp], NDArray[Any], NDArray[np.float32]]],
                   ) -> tuple[NDArray[Any], NDArray[np.float32]]:
    indices = np.full((num_rows, num_neighbours), -1, index_dtype)
    distances = np.full((num_rows, num_neighbours), -1, np.float32)
    for rows, i, d in parts:
        indices[rows], distances[rows] = i, d
    return indices, distances


def _segment_positions(starts: NDArray[np.int64], lengths: NDArray[np.int64]) -> NDArray[np.int64]:
    """The positions starts[i], starts[i] + 1, ..., starts[i] + lengths[i] - 1, for every i
    in turn."""
    shift = starts - (np.cumsum(lengths) - lengths)
    positions = np.repeat(shift, lengths)
    positions += np.arange(len(positions))
    return positions


def _assemble_find_all(num_rows: int, index_dtype: np.dtype[Any],
                       parts: list[tuple[NDArray[np.intp], AllNeighbours]]) -> AllNeighbours:
    counts = np.zeros(num_rows, np.int64)
    for rows, part in parts:
        counts[rows] = np.diff(part.offsets)
    offsets = np.zeros(num_rows + 1, np.int64)
    np.cumsum(counts, out=offsets[1:])
    result = AllNeighbours(offsets, np.empty(offsets[-1], index_dtype), np.empty(offsets[-1], np.float32))
    for rows, part in parts:
        positions = _segment_positions(offsets[rows], counts[rows])
        result.indices[positions], result.distances[positions] = part.indices, part.distances
    return result


def _assemble_count(num_rows: int, parts: list[tuple[NDArray[np.intp], NDArray[np.float32]]],
                    ) -> NDArray[np.float32]:
    counts = np.zeros(num_rows, np.float32)
    for rows, c in parts:
        counts[rows] = c
    return counts


class TiledEngine:
    """Neighbour search over a cloud split into axis-aligned tiles, one engine per tile,
    built and kept on the Dask workers.

    Each tile's engine holds the points inside the tile plus a halo of width `radius`
    around it, so every neighbour of a query inside the tile is in that engine; query
    rows are routed to the tile that contains them, and row numbers refer to the whole
    cloud. Results equal those of one engine over the cloud's finite rows, apart from
    the order of neighbours tied at the k-th place (and float rounding of weighted
    sums). Rows with a non-finite coordinate are left out of the search, and query
    rows with one get no neighbours and a count of 0. Use `build` to make one.
    """

    def __init__(self, grid: _Grid, tiles: dict[int, Delayed], radius: float, method: str,
                 num_points: int) -> None:
        self._grid, self._tiles = grid, tiles
        self.radius, self.method, self.num_points = radius, method, num_points
        self._index_dtype = np.dtype(np.int32 if num_points <= INT32_MAX else np.int64)

    @classmethod
    def build(cls, points: ArrayLike | da.Array, radius: float, tile_size: float | Sequence[float],
              method: str = "voxel", **engine_options: int) -> TiledEngine:
        """Tiles `points` and builds one engine per non-empty tile on the workers.

        Args:
            points: Search points, shape (N, 3): a dask array chunked by rows with known
                chunk sizes (array-likes are wrapped in one chunk)
            radius: Search radius, as for `KesraNNS`
            tile_size: Tile edge, one value or one per axis; inf leaves an axis
                unsplit, e.g. (500, 500, inf) for airborne surveys
            method: Search method of every tile's engine
            engine_options: `cells_per_radius`, `subtree_threshold`, `graph_degree`

        Reads the points three times (bounds, tile membership, the builds): persist
        them first if they are expensive to compute. The engines are persisted on the
        cluster when a distributed client is active, in this process otherwise.
        """
        # Fail on a bad radius, method, option or tile size here rather than in a worker.
        radius = arguments.radius_value(radius)
        engine_options = arguments.engine_options(**engine_options)
        KesraNNSEngine(np.zeros((0, 3), np.float32), radius, method, **engine_options)
        size = _tile_sizes(tile_size)
        array = points if isinstance(points, da.Array) else da.asarray(points)
        if array.ndim != 2 or array.shape[1] != 3:
            raise ValueError(f"points must have shape (N, 3), got {array.shape}")
        if any(math.isnan(n) for n in array.chunks[0]):
            raise ValueError("points must have known chunk sizes; call points.compute_chunk_sizes() first")
        array = array.rechunk({1: 3})
        blocks = list(array.to_delayed().ravel())
        bounds = np.concatenate(dask.compute(*[dask.delayed(_finite_bounds)(b) for b in blocks]))
        grid = _make_grid(bounds[0::2].min(axis=0), bounds[1::2].max(axis=0), size, radius)
        touched = dask.compute(*[dask.delayed(_touched_tiles)(b, grid) for b in blocks])
        first_rows = np.cumsum((0, *array.chunks[0]))
        pieces: defaultdict[int, list[Delayed]] = defaultdict(list)
        for block, tiles, first in zip(blocks, touched, first_rows):
            if len(tiles):
                split = dask.delayed(_split_chunk)(block, grid, int(first))
                for t in tiles:
                    pieces[int(t)].append(split[int(t)])
        built = {t: dask.delayed(_build_tile)(parts, radius, method, engine_options) for t, parts in pieces.items()}
        persisted = dask.persist(*built.values())
        return cls(grid, dict(zip(built, persisted)), float(radius), method, int(array.shape[0]))

    @property
    def num_tiles(self) -> int:
        """Number of tiles that hold points (and so an engine)."""
        return len(self._tiles)

    def __len__(self) -> int:
        return self.num_points

    def __repr__(self) -> str:
        return (f"TiledEngine(method={self.method!r}, radius={self.radius!r}, points={self.num_points}, "
                f"tiles={self.num_tiles})")

    def _routed(self, queries: ArrayLike | da.Array) -> tuple[da.Array, list[Delayed], list[list[int]]]:
        """Query chunks and, per chunk, the tiles with an engine that its rows route to
        (found by one pass over the queries)."""
        array = query_array(queries, known_chunks=True)
        blocks = list(array.to_delayed().ravel())
        routes = dask.compute(*[dask.delayed(_routed_tiles)(b, self._grid) for b in blocks])
        return array, blocks, [[int(t) for t in r if int(t) in self._tiles] for r in routes]

    def find_neighbours(self, queries: ArrayLike | da.Array, num_neighbours: int, *, epsilon: float = 0.0,
                        num_threads: int = 1) -> tuple[da.Array, da.Array]:
        """As the module's `find_neighbours`; row numbers refer to the whole cloud."""
        num_threads = check_call(num_threads, epsilon=epsilon)
        k = checked_k(num_neighbours, query_array(queries, known_chunks=True))
        array, blocks, routes = self._routed(queries)
        indices, distances = [], []
        for block, tiles, n in zip(blocks, routes, array.chunks[0]):
            parts = [dask.delayed(_tile_find)(self._tiles[t], block, self._grid, t, k, float(epsilon),
                                              num_threads, self._index_dtype) for t in tiles]
            both = dask.delayed(_assemble_find, nout=2)(n, k, self._index_dtype, parts)
            indices.append(da.from_delayed(both[0], (n, k), meta=np.empty((0, 0), self._index_dtype)))
            distances.append(da.from_delayed(both[1], (n, k), meta=np.empty((0, 0), np.float32)))
        return da.concatenate(indices), da.concatenate(distances)

    def count_neighbours(self, queries: ArrayLike | da.Array, *, distance_weight_factor: float | None = None,
                         num_threads: int = 1) -> da.Array:
        """As the module's `count_neighbours`."""
        num_threads = check_call(num_threads, distance_weight_factor=distance_weight_factor)
        array, blocks, routes = self._routed(queries)
        counts = []
        for block, tiles, n in zip(blocks, routes, array.chunks[0]):
            parts = [dask.delayed(_tile_count)(self._tiles[t], block, self._grid, t, distance_weight_factor,
                                               num_threads) for t in tiles]
            counts.append(da.from_delayed(dask.delayed(_assemble_count)(n, parts), (n,), dtype=np.float32))
        return da.concatenate(counts)

    def find_all_neighbours(self, queries: ArrayLike | da.Array, *, num_threads: int = 1, sort: bool = True,
                            ) -> tuple[da.Array, da.Array, da.Array]:
        """As the module's `find_all_neighbours`; row numbers refer to the whole cloud."""
        num_threads = check_call(num_threads)
        array, blocks, routes = self._routed(queries)
        parts = []
        for block, tiles, n in zip(blocks, routes, array.chunks[0]):
            pieces = [dask.delayed(_tile_find_all)(self._tiles[t], block, self._grid, t, num_threads,
                                                   self._index_dtype, sort) for t in tiles]
            parts.append(dask.delayed(_assemble_find_all)(n, self._index_dtype, pieces))
        return joined_rows(parts, array.chunks[0], self._index_dtype)


def _routed_tiles(queries: NDArray[Any], grid: _Grid) -> NDArray[np.int64]:
    # Routed as float32, like the tile tasks: a float64 row beside a border may round
    # into the next tile.
    tiles = np.unique(grid.route(as_points(queries, "queries", "M")))
    return tiles[tiles >= 0]
