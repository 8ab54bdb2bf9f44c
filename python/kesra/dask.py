"""Neighbour queries over Dask arrays: engines shipped to the workers once as their
pickled state, and tiled engines for search clouds larger than one process holds.

Dask does the scheduling; this module only builds task graphs, which run on any Dask
scheduler (a `dask.distributed` client included). Needs the `dask` extra
(`pip install 'kesra[dask]'`).
"""

from __future__ import annotations

import itertools
import math
import operator
import sys
import uuid
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
from kesra.nns import KesraNNS, as_points

__all__ = ["TiledEngine", "count_neighbours", "find_neighbours"]

INT32_MAX = 2**31 - 1


def _no_profiler_without_gil() -> None:
    """Turns distributed's statistical profiler off by default on free-threaded Python:
    it reads the frames of threads while they run, which without the GIL crashes the
    process (seen on 3.13t, in schedulers and workers alike). A value the user's own
    configuration sets still wins. Workers started by a nanny get this configuration;
    for workers started on their own, set `distributed.worker.profile.enabled: false`."""
    if getattr(sys, "_is_gil_enabled", lambda: True)():  # always held before 3.13
        return
    try:
        import distributed  # noqa: F401  (its defaults must be in place before ours replace them)
    except ImportError:
        return
    dask.config.update_defaults({"distributed": {"worker": {"profile": {"enabled": False}}}})


_no_profiler_without_gil()


def _shipped(engine: KesraNNSEngine) -> Delayed:
    """`engine` as one literal key of the task graph, so its pickled state is sent once
    per computation (not once per chunk), and workers that need it fetch it from one
    another. Under `dask.distributed` the scheduler keeps that literal and sends it again
    when every worker holding the engine is lost; data scattered to the workers instead
    is gone for good once the replica the memory manager kept is lost, and the
    computation then fails."""
    return dask.delayed(engine, name=f"kesra-engine-{uuid.uuid4().hex}")


def _query_array(queries: ArrayLike | da.Array, *, known_chunks: bool = False) -> da.Array:
    """`queries` as a dask array of shape (M, 3) with one chunk across the columns."""
    array = queries if isinstance(queries, da.Array) else da.asarray(queries)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"queries must have shape (M, 3), got {array.shape}")
    if len(array.chunks[1]) != 1:
        array = array.rechunk({1: 3})
    if known_chunks and any(math.isnan(n) for n in array.chunks[0]):
        raise ValueError("queries must have known chunk sizes; call queries.compute_chunk_sizes() first")
    return array


def _neighbour_count(num_neighbours: int) -> int:
    k = operator.index(num_neighbours)
    if k < 0:
        raise ValueError(f"num_neighbours must be non-negative, got {k}")
    return k


def _check_weight(distance_weight_factor: float | None) -> None:
    # Checked here so that the error comes at once, not from a worker at compute time.
    if distance_weight_factor is not None and distance_weight_factor < 0:
        raise ValueError("distance_weight_factor must be non-negative")


def _plain_engine(engine: KesraNNS | KesraNNSEngine) -> KesraNNSEngine:
    if isinstance(engine, KesraNNS):
        return engine.engine
    if isinstance(engine, KesraNNSEngine):
        return engine
    raise TypeError(f"expected a KesraNNS, KesraNNSEngine or TiledEngine, got {type(engine).__name__}")


def _find_chunk(queries: NDArray[Any], engine: KesraNNSEngine, num_neighbours: int, epsilon: float,
                num_threads: int) -> tuple[NDArray[np.int32], NDArray[np.float32]]:
    return engine.find_neighbours(as_points(queries, "queries", "M"), num_neighbours,
                                  num_threads=num_threads, epsilon=epsilon)


def _count_chunk(queries: NDArray[Any], engine: KesraNNSEngine, distance_weight_factor: float | None,
                 num_threads: int) -> NDArray[np.float32]:
    return engine.count_neighbours(as_points(queries, "queries", "M"), num_threads=num_threads,
                                   distance_weight_factor=distance_weight_factor)


def find_neighbours(engine: KesraNNS | KesraNNSEngine | TiledEngine, queries: ArrayLike | da.Array,
                    num_neighbours: int, *, epsilon: float = 0.0, num_threads: int = 1,
                    ) -> tuple[da.Array, da.Array]:
    """The `num_neighbours` nearest search points strictly within the radius of each
    query row, as lazy dask arrays with the row chunks of `queries`.

    Args:
        engine: A `KesraNNS`, a `KesraNNSEngine` or a `TiledEngine`
        queries: Query points, shape (M, 3): a dask array chunked by rows (array-likes
            are wrapped in one chunk)
        num_neighbours: Neighbours per query row (k)
        epsilon: Early-stop distance, as for `KesraNNS.find_neighbours`
        num_threads: Engine threads per chunk task; Dask runs chunks in parallel

    Returns:
        Row numbers, int32 (M, k) (int64 for tiled clouds over 2**31 - 1 rows),
        nearest first and -1 padded, and the distances, float32 (M, k), -1 padded
    """
    if isinstance(engine, TiledEngine):
        return engine.find_neighbours(queries, num_neighbours, epsilon=epsilon, num_threads=num_threads)
    plain = _plain_engine(engine)
    array = _query_array(queries)
    k = _neighbour_count(num_neighbours)
    pairs = da.map_blocks(_find_chunk, array, _shipped(plain), k, float(epsilon), num_threads,
                          chunks=(array.chunks[0], (k,)), meta=np.empty((0, 0), np.int32))
    return _split_pairs(pairs, k, np.dtype(np.int32))


def count_neighbours(engine: KesraNNS | KesraNNSEngine | TiledEngine, queries: ArrayLike | da.Array, *,
                     distance_weight_factor: float | None = None, num_threads: int = 1) -> da.Array:
    """How many search points lie strictly within the radius of each query row (or
    their distance-weighted sum), as a lazy float32 (M,) dask array with the row
    chunks of `queries`. Arguments as for `find_neighbours` and
    `KesraNNS.count_neighbours`."""
    if isinstance(engine, TiledEngine):
        return engine.count_neighbours(queries, distance_weight_factor=distance_weight_factor,
                                       num_threads=num_threads)
    _check_weight(distance_weight_factor)
    plain = _plain_engine(engine)
    array = _query_array(queries)
    return da.map_blocks(_count_chunk, array, _shipped(plain), distance_weight_factor, num_threads,
                         chunks=(array.chunks[0],), drop_axis=1, dtype=np.float32)


def _split_pairs(pairs: da.Array, k: int, index_dtype: np.dtype[Any]) -> tuple[da.Array, da.Array]:
    """Two arrays from one whose chunks are (indices, distances) tuples; the query
    runs once per chunk when both are computed together."""
    chunks = (pairs.chunks[0], (k,))
    indices = da.map_blocks(operator.itemgetter(0), pairs, chunks=chunks, meta=np.empty((0, 0), index_dtype))
    distances = da.map_blocks(operator.itemgetter(1), pairs, chunks=chunks, meta=np.empty((0, 0), np.float32))
    return indices, distances


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


def _make_grid(low: NDArray[np.float64], high: NDArray[np.float64], tile_size: float | Sequence[float],
               radius: float) -> _Grid:
    size = np.broadcast_to(np.asarray(tile_size, np.float64), (3,)).copy()
    if not (size > 0).all():
        raise ValueError(f"tile_size must be positive (inf: no split along that axis), got {tile_size}")
    if not np.isfinite(low).all():  # no finite point: one tile, which stays empty
        low = high = np.zeros(3)
    shape = tuple(int(max(1, math.ceil(n))) if math.isfinite(n) else 1 for n in (high - low) / size)
    if math.prod(shape) > 2**40:
        raise ValueError(f"tile_size {tile_size} gives {shape} tiles; use larger tiles")
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


def _assemble_find(num_rows: int, num_neighbours: int, index_dtype: np.dtype[Any],
                   parts: list[tuple[NDArray[np.intp], NDArray[Any], NDArray[np.float32]]],
                   ) -> tuple[NDArray[Any], NDArray[np.float32]]:
    indices = np.full((num_rows, num_neighbours), -1, index_dtype)
    distances = np.full((num_rows, num_neighbours), -1, np.float32)
    for rows, i, d in parts:
        indices[rows], distances[rows] = i, d
    return indices, distances


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
        # Fail on a bad radius, method or option here rather than in a worker.
        KesraNNSEngine(np.zeros((0, 3), np.float32), radius, method, **engine_options)
        array = points if isinstance(points, da.Array) else da.asarray(points)
        if array.ndim != 2 or array.shape[1] != 3:
            raise ValueError(f"points must have shape (N, 3), got {array.shape}")
        if any(math.isnan(n) for n in array.chunks[0]):
            raise ValueError("points must have known chunk sizes; call points.compute_chunk_sizes() first")
        array = array.rechunk({1: 3})
        blocks = list(array.to_delayed().ravel())
        bounds = np.concatenate(dask.compute(*[dask.delayed(_finite_bounds)(b) for b in blocks]))
        grid = _make_grid(bounds[0::2].min(axis=0), bounds[1::2].max(axis=0), tile_size, radius)
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
        array = _query_array(queries, known_chunks=True)
        blocks = list(array.to_delayed().ravel())
        routes = dask.compute(*[dask.delayed(_routed_tiles)(b, self._grid) for b in blocks])
        return array, blocks, [[int(t) for t in r if int(t) in self._tiles] for r in routes]

    def find_neighbours(self, queries: ArrayLike | da.Array, num_neighbours: int, *, epsilon: float = 0.0,
                        num_threads: int = 1) -> tuple[da.Array, da.Array]:
        """As the module's `find_neighbours`; row numbers refer to the whole cloud."""
        k = _neighbour_count(num_neighbours)
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
        _check_weight(distance_weight_factor)
        array, blocks, routes = self._routed(queries)
        counts = []
        for block, tiles, n in zip(blocks, routes, array.chunks[0]):
            parts = [dask.delayed(_tile_count)(self._tiles[t], block, self._grid, t, distance_weight_factor,
                                               num_threads) for t in tiles]
            counts.append(da.from_delayed(dask.delayed(_assemble_count)(n, parts), (n,), dtype=np.float32))
        return da.concatenate(counts)


def _routed_tiles(queries: NDArray[Any], grid: _Grid) -> NDArray[np.int64]:
    # Routed as float32, like the tile tasks: a float64 row beside a border may round
    # into the next tile.
    tiles = np.unique(grid.route(as_points(queries, "queries", "M")))
    return tiles[tiles >= 0]
