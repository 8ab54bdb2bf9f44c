"""The calls of `kesra.dask` on one engine: task graphs that ship it to the workers once
as its pickled state and answer each row chunk of the queries in one task (a
`TiledEngine` answers them itself)."""

from __future__ import annotations

import sys
from typing import Any

import dask
import dask.array as da
import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra._kesra import KesraNNSEngine
from kesra.dask.chunks import check_call, checked_k, joined_rows, query_array, searcher, shipped, split_pairs
from kesra.dask.tiles import TiledEngine
from kesra.nns import KesraNNS
from kesra.rows import MAX_ENGINE_ROWS

__all__ = ["count_neighbours", "find_all_neighbours", "find_neighbours"]


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
        Row numbers, int32 (M, k) (int64 for clouds over 2**31 - 1 rows),
        nearest first and -1 padded, and the distances, float32 (M, k), -1 padded
    """
    if isinstance(engine, TiledEngine):
        return engine.find_neighbours(queries, num_neighbours, epsilon=epsilon, num_threads=num_threads)
    num_threads = check_call(num_threads, epsilon=epsilon)
    nns = searcher(engine)
    array = query_array(queries)
    k = checked_k(num_neighbours, array)
    pairs = da.map_blocks(_find_chunk, array, shipped(nns), k, float(epsilon), num_threads,
                          chunks=(array.chunks[0], (k,)), meta=np.empty((0, 0), np.int32))
    return split_pairs(pairs, k, index_dtype(nns))


def count_neighbours(engine: KesraNNS | KesraNNSEngine | TiledEngine, queries: ArrayLike | da.Array, *,
                     distance_weight_factor: float | None = None, num_threads: int = 1) -> da.Array:
    """How many search points lie strictly within the radius of each query row (or
    their distance-weighted sum), as a lazy float32 (M,) dask array with the row
    chunks of `queries`. Arguments as for `find_neighbours` and
    `KesraNNS.count_neighbours`."""
    if isinstance(engine, TiledEngine):
        return engine.count_neighbours(queries, distance_weight_factor=distance_weight_factor,
                                       num_threads=num_threads)
    num_threads = check_call(num_threads, distance_weight_factor=distance_weight_factor)
    nns = searcher(engine)
    array = query_array(queries)
    return da.map_blocks(_count_chunk, array, shipped(nns), distance_weight_factor, num_threads,
                         chunks=(array.chunks[0],), drop_axis=1, meta=np.empty(0, np.float32))


def find_all_neighbours(engine: KesraNNS | KesraNNSEngine | TiledEngine, queries: ArrayLike | da.Array, *,
                        num_threads: int = 1, sort: bool = True) -> tuple[da.Array, da.Array, da.Array]:
    """Every search point strictly within the radius of each query row, as lazy dask
    arrays `(offsets, indices, distances)` laid out as `KesraNNS.find_all_neighbours`
    lays them out (`kesra.AllNeighbours(*dask.compute(*result))` makes one).

    Each row chunk of `queries` is answered by one task. Compute the three arrays
    together, or every chunk is answered once for each; `indices` and `distances`
    have unknown chunk sizes until then. Indices are int64 for clouds over
    2**31 - 1 rows. `sort` as for `KesraNNS.find_all_neighbours`; other arguments as for
    `find_neighbours`.
    """
    if isinstance(engine, TiledEngine):
        return engine.find_all_neighbours(queries, num_threads=num_threads, sort=sort)
    num_threads = check_call(num_threads)
    nns = searcher(engine)
    engine_key = shipped(nns)
    array = query_array(queries)
    parts = [dask.delayed(_find_all_chunk)(block, engine_key, num_threads, sort)
             for block in array.to_delayed().ravel()]
    return joined_rows(parts, array.chunks[0], index_dtype(nns))


def index_dtype(nns: KesraNNS) -> np.dtype[Any]:
    """The type of the row numbers `nns` answers with."""
    return np.dtype(np.int64 if len(nns) > MAX_ENGINE_ROWS else np.int32)


def _find_chunk(queries: NDArray[Any], nns: KesraNNS, num_neighbours: int, epsilon: float,
                num_threads: int) -> tuple[NDArray[np.int32], NDArray[np.float32]]:
    return nns.find_neighbours(queries, num_neighbours, num_threads=num_threads, epsilon=epsilon)


def _count_chunk(queries: NDArray[Any], nns: KesraNNS, distance_weight_factor: float | None,
                 num_threads: int) -> NDArray[np.float32]:
    return nns.count_neighbours(queries, num_threads=num_threads, distance_weight_factor=distance_weight_factor)


def _find_all_chunk(queries: NDArray[Any], nns: KesraNNS, num_threads: int, sort: bool) -> Any:
    return nns.find_all_neighbours(queries, num_threads=num_threads, sort=sort)
