"""`TiledEngine`: a search cloud cut into axis-aligned tiles, one engine per tile, built
and kept on the Dask workers."""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from typing import Any, NamedTuple

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed
from numpy.typing import ArrayLike, NDArray

from kesra import arguments
from kesra._kesra import KesraNNSEngine
from kesra.all_neighbours import AllNeighbours, find_all
from kesra.dask.chunks import check_call, checked_k, joined_rows, query_array
from kesra.dask.graph import Layers, Tasks, pick
from kesra.dask.grid import Grid, tile_sizes
from kesra.dask.tiling import POINTS_PER_TASK, Tiling, cut, point_array, tiles_of
from kesra.rows import as_points

__all__ = ["TiledEngine"]

INT32_MAX = 2**31 - 1


class _Tile(NamedTuple):
    """One tile's engine and the global row number of each of its points."""

    engine: KesraNNSEngine
    rows: NDArray[np.int64]


def _build_bundle(pieces: list[Any], radius: float, method: str, options: dict[str, int]) -> dict[int, _Tile]:
    """The engines of a bundle's tiles, over their points in ascending row order (which
    keeps sorted answers sorted once mapped to global rows)."""
    return {t: _Tile(KesraNNSEngine(points, radius, method, **options), rows)
            for t, points, rows in tiles_of(pieces)}


def _bundle_answers(bundle: dict[int, _Tile], queries: NDArray[Any], grid: Grid, answer: Any, *args: Any,
                    ) -> list[tuple[NDArray[np.intp], Any]]:
    """`answer(tile, rows, routed queries, *args)` for each of the bundle's tiles that
    query rows are routed to."""
    q = as_points(queries, "queries", "M")
    routes = grid.route(q)
    return [answer(tile, rows, q[rows], *args) for t, tile in bundle.items()
            if len(rows := np.flatnonzero(routes == t))]


def _tile_find(tile: _Tile, rows: NDArray[np.intp], queries: NDArray[np.float32], num_neighbours: int,
               epsilon: float, num_threads: int, index_dtype: np.dtype[Any],
               ) -> tuple[NDArray[np.intp], NDArray[Any], NDArray[np.float32]]:
    """Answers for the query rows routed to this tile, with global row numbers."""
    local, distances = tile.engine.find_neighbours(queries, num_neighbours, num_threads=num_threads,
                                                   epsilon=epsilon)
    found = local >= 0
    indices = np.full(local.shape, -1, index_dtype)
    indices[found] = tile.rows[local[found]]
    return rows, indices, distances


def _tile_count(tile: _Tile, rows: NDArray[np.intp], queries: NDArray[np.float32],
                distance_weight_factor: float | None, num_threads: int,
                ) -> tuple[NDArray[np.intp], NDArray[np.float32]]:
    return rows, tile.engine.count_neighbours(queries, num_threads=num_threads,
                                              distance_weight_factor=distance_weight_factor)


def _tile_find_all(tile: _Tile, rows: NDArray[np.intp], queries: NDArray[np.float32], num_threads: int,
                   index_dtype: np.dtype[Any], sort: bool) -> tuple[NDArray[np.intp], AllNeighbours]:
    part = find_all(tile.engine, queries, sort=sort, num_threads=num_threads)
    return rows, part._replace(indices=tile.rows[part.indices].astype(index_dtype, copy=False))


def _assemble_find(num_rows: int, num_neighbours: int, index_dtype: np.dtype[Any],
                   parts: list[list[tuple[NDArray[np.intp], NDArray[Any], NDArray[np.float32]]]],
                   ) -> tuple[NDArray[Any], NDArray[np.float32]]:
    indices = np.full((num_rows, num_neighbours), -1, index_dtype)
    distances = np.full((num_rows, num_neighbours), -1, np.float32)
    for rows, i, d in _flat(parts):
        indices[rows], distances[rows] = i, d
    return indices, distances


def _flat(parts: list[list[Any]]) -> list[Any]:
    """The answers of every bundle in one list."""
    return list(itertools.chain.from_iterable(parts))


def _segment_positions(starts: NDArray[np.int64], lengths: NDArray[np.int64]) -> NDArray[np.int64]:
    """The positions starts[i], starts[i] + 1, ..., starts[i] + lengths[i] - 1, for every i
    in turn."""
    shift = starts - (np.cumsum(lengths) - lengths)
    positions = np.repeat(shift, lengths)
    positions += np.arange(len(positions))
    return positions


def _assemble_find_all(num_rows: int, index_dtype: np.dtype[Any],
                       answers: list[list[tuple[NDArray[np.intp], AllNeighbours]]]) -> AllNeighbours:
    parts: list[tuple[NDArray[np.intp], AllNeighbours]] = _flat(answers)
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


def _assemble_count(num_rows: int, parts: list[list[tuple[NDArray[np.intp], NDArray[np.float32]]]],
                    ) -> NDArray[np.float32]:
    counts = np.zeros(num_rows, np.float32)
    for rows, c in _flat(parts):
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

    def __init__(self, tiling: Tiling, engines: Tasks, radius: float, method: str, num_points: int) -> None:
        self._tiling, self._engines = tiling, engines
        self.radius, self.method, self.num_points = radius, method, num_points
        self._index_dtype = np.dtype(np.int32 if num_points <= INT32_MAX else np.int64)

    @classmethod
    def build(cls, points: ArrayLike | da.Array, radius: float, tile_size: float | Sequence[float],
              method: str = "voxel", *, points_per_task: int = POINTS_PER_TASK,
              **engine_options: int) -> TiledEngine:
        """Tiles `points` and builds one engine per non-empty tile on the workers.

        Args:
            points: Search points, shape (N, 3): a dask array chunked by rows with known
                chunk sizes (array-likes are wrapped in one chunk)
            radius: Search radius, as for `KesraNNS`
            tile_size: Tile edge, one value or one per axis; inf leaves an axis
                unsplit, e.g. (500, 500, inf) for airborne surveys
            method: Search method of every tile's engine
            points_per_task: Tiles are built and queried in bundles of consecutive
                tiles holding about this many points together (with their halos),
                so that small tiles do not cost a task each
            engine_options: `cells_per_radius`, `subtree_threshold`, `graph_degree`

        Reads the points three times (bounds, tile membership, the builds): persist
        them first if they are expensive to compute. The engines are persisted on the
        cluster when a distributed client is active, in this process otherwise. Warns
        (`kesra.dask.TilingWarning`) when the tiles are so small that their halos hold
        each point several times over, or so many that each holds under 100 points.
        """
        # Fail on a bad radius, method, option or tile size here rather than in a worker.
        radius = arguments.radius_value(radius)
        engine_options = arguments.engine_options(**engine_options)
        per_task = arguments.whole_number(points_per_task, "points_per_task", 1)
        KesraNNSEngine(np.zeros((0, 3), np.float32), radius, method, **engine_options)
        tile_sizes(tile_size)
        array = point_array(points)
        tiling = cut(array, radius, tile_size, points_per_task=per_task)
        built = tiling.layers.add("engines", lambda name: {
            (name, g): (_build_bundle, pieces, radius, method, engine_options)
            for g, pieces in enumerate(tiling.pieces)})
        (engines,) = dask.persist(tiling.layers.tasks([(built, g) for g in range(tiling.num_bundles)]))
        return cls(tiling, engines, float(radius), method, int(array.shape[0]))

    @property
    def num_tiles(self) -> int:
        """Number of tiles that hold points (and so an engine)."""
        return len(self._tiling.tiles)

    def __len__(self) -> int:
        return self.num_points

    def __repr__(self) -> str:
        return (f"TiledEngine(method={self.method!r}, radius={self.radius!r}, points={self.num_points}, "
                f"tiles={self.num_tiles})")

    def _queries(self, queries: ArrayLike | da.Array, answer: Any, args: tuple[Any, ...], assemble: Any,
                 assemble_args: tuple[Any, ...]) -> tuple[Layers, str, da.Array]:
        """A graph that answers each query chunk: one task per (chunk, bundle) its rows
        are routed to, then one that assembles the chunk's answer (found by one pass
        over the queries)."""
        array = query_array(queries, known_chunks=True)
        blocks = list(dask.core.flatten(array.__dask_keys__()))
        grid = self._tiling.grid
        routes = dask.compute(*[dask.delayed(_routed_tiles)(b, grid, self._tiling.tiles)
                                for b in array.to_delayed().ravel()])
        bundles = [np.unique(self._tiling.bundles(r)) for r in routes]
        layers = Layers(array, self._engines)
        engines = self._engines.keys
        parts = layers.add("answers", lambda name: {
            (name, c, int(g)): (_bundle_answers, engines[g], block, grid, answer, *args)
            for c, (block, groups) in enumerate(zip(blocks, bundles)) for g in groups})
        out = layers.add("assembled", lambda name: {
            (name, c): (assemble, n, *assemble_args, [(parts, c, int(g)) for g in groups])
            for c, (n, groups) in enumerate(zip(array.chunks[0], bundles))})
        return layers, out, array

    def find_neighbours(self, queries: ArrayLike | da.Array, num_neighbours: int, *, epsilon: float = 0.0,
                        num_threads: int = 1) -> tuple[da.Array, da.Array]:
        """As the module's `find_neighbours`; row numbers refer to the whole cloud."""
        num_threads = check_call(num_threads, epsilon=epsilon)
        k = checked_k(num_neighbours, query_array(queries, known_chunks=True))
        layers, both, array = self._queries(queries, _tile_find, (k, float(epsilon), num_threads, self._index_dtype),
                                            _assemble_find, (k, self._index_dtype))
        chunks = (array.chunks[0], (k,))
        indices = layers.add("indices", lambda name: {(name, c, 0): pick((both, c), 0) for c in range(len(chunks[0]))})
        distances = layers.add("distances", lambda name: {(name, c, 0): pick((both, c), 1)
                                                          for c in range(len(chunks[0]))})
        return (layers.array(indices, chunks, np.empty((0, 0), self._index_dtype)),
                layers.array(distances, chunks, np.empty((0, 0), np.float32)))

    def count_neighbours(self, queries: ArrayLike | da.Array, *, distance_weight_factor: float | None = None,
                         num_threads: int = 1) -> da.Array:
        """As the module's `count_neighbours`."""
        num_threads = check_call(num_threads, distance_weight_factor=distance_weight_factor)
        layers, counts, array = self._queries(queries, _tile_count, (distance_weight_factor, num_threads),
                                              _assemble_count, ())
        return layers.array(counts, (array.chunks[0],), np.empty(0, np.float32))

    def find_all_neighbours(self, queries: ArrayLike | da.Array, *, num_threads: int = 1, sort: bool = True,
                            ) -> tuple[da.Array, da.Array, da.Array]:
        """As the module's `find_all_neighbours`; row numbers refer to the whole cloud."""
        num_threads = check_call(num_threads)
        layers, found, array = self._queries(queries, _tile_find_all, (num_threads, self._index_dtype, sort),
                                             _assemble_find_all, (self._index_dtype,))
        graph = layers.graph
        parts = [Delayed((found, c), graph, layer=found) for c in range(len(array.chunks[0]))]
        return joined_rows(parts, array.chunks[0], self._index_dtype)


def _routed_tiles(queries: NDArray[Any], grid: Grid, tiles: NDArray[np.int64]) -> NDArray[np.int64]:
    """The tiles holding points that the rows are routed to."""
    # Routed as float32, like the tile tasks: a float64 row beside a border may round
    # into the next tile.
    routed = np.unique(grid.route(as_points(queries, "queries", "M")))
    return routed[np.isin(routed, tiles)]
