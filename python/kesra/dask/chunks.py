"""Building blocks of the task graphs: query arrays, engines shipped once, and results
split into or joined from per-chunk parts."""

from __future__ import annotations

import math
import operator
import uuid
from typing import Any

import dask
import dask.array as da
import numpy as np
from dask.delayed import Delayed
from numpy.typing import ArrayLike

from kesra._kesra import KesraNNSEngine
from kesra.all_neighbours import AllNeighbours
from kesra.arguments import check_result_size, non_negative, thread_count, whole_number
from kesra.nns import KesraNNS


def shipped(engine: Any) -> Delayed:
    """`engine` as one literal key of the task graph, so its pickled state is sent once
    per computation (not once per chunk), and workers that need it fetch it from one
    another. Under `dask.distributed` the scheduler keeps that literal and sends it again
    when every worker holding the engine is lost; data scattered to the workers instead
    is gone for good once the replica the memory manager kept is lost, and the
    computation then fails."""
    return dask.delayed(engine, name=f"kesra-engine-{uuid.uuid4().hex}")


def searcher(engine: KesraNNS | KesraNNSEngine) -> KesraNNS:
    """`engine` as a `KesraNNS`; a bare engine answers under its own rules, as when
    queried directly."""
    if isinstance(engine, KesraNNS):
        return engine
    if isinstance(engine, KesraNNSEngine):
        nns = KesraNNS.__new__(KesraNNS)
        nns.__setstate__({"engine": engine, "radius": engine.__getnewargs__()[1]})
        return nns
    raise TypeError(f"expected a KesraNNS, KesraNNSEngine or TiledEngine, got {type(engine).__name__}")


def query_array(queries: ArrayLike | da.Array, *, known_chunks: bool = False) -> da.Array:
    """`queries` as a dask array of shape (M, 3) with one chunk across the columns."""
    array = queries if isinstance(queries, da.Array) else da.asarray(queries)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"queries must have shape (M, 3), got {array.shape}")
    if len(array.chunks[1]) != 1:
        array = array.rechunk({1: 3})
    if known_chunks and any(math.isnan(n) for n in array.chunks[0]):
        raise ValueError("queries must have known chunk sizes; call queries.compute_chunk_sizes() first")
    return array


# The checks below run when the graph is made, so that errors come at once, not from a
# worker at compute time.

def check_call(num_threads: int, *, epsilon: float = 0.0, distance_weight_factor: float | None = None) -> int:
    """`num_threads`, once it and the other arguments of a call are checked."""
    non_negative(epsilon, "epsilon")
    non_negative(distance_weight_factor, "distance_weight_factor")
    return thread_count(num_threads)


def checked_k(num_neighbours: int, queries: da.Array) -> int:
    """`num_neighbours`, once the results of the largest chunk of known size are known
    to fit."""
    k = whole_number(num_neighbours, "num_neighbours", 1)
    check_result_size(max((int(n) for n in queries.chunks[0] if not math.isnan(n)), default=0), k)
    return k


def split_pairs(pairs: da.Array, k: int, index_dtype: np.dtype[Any]) -> tuple[da.Array, da.Array]:
    """Two arrays from one whose chunks are (indices, distances) tuples; the query
    runs once per chunk when both are computed together."""
    chunks = (pairs.chunks[0], (k,))
    indices = da.map_blocks(operator.itemgetter(0), pairs, chunks=chunks, meta=np.empty((0, 0), index_dtype))
    distances = da.map_blocks(operator.itemgetter(1), pairs, chunks=chunks, meta=np.empty((0, 0), np.float32))
    return indices, distances


def joined_rows(parts: list[Any], rows_per_part: tuple[float, ...], index_dtype: np.dtype[Any],
                ) -> tuple[da.Array, da.Array, da.Array]:
    """Lazy offsets, indices and distances of all rows from one `AllNeighbours` per row
    chunk; each part is computed once when the three are computed together. A part's
    offsets are shifted by the pairs of the parts before it."""
    offsets, indices, distances = [da.zeros(1, dtype=np.int64, chunks=1)], [], []
    start: Any = 0
    for part, rows in zip(parts, rows_per_part, strict=True):
        offsets.append(da.from_delayed(dask.delayed(shifted_offsets)(part, start), (rows,), dtype=np.int64))
        indices.append(da.from_delayed(part[1], (math.nan,), dtype=index_dtype))
        distances.append(da.from_delayed(part[2], (math.nan,), dtype=np.float32))
        start = dask.delayed(operator.add)(start, dask.delayed(operator.itemgetter(-1))(part[0]))
    return da.concatenate(offsets), da.concatenate(indices), da.concatenate(distances)


def shifted_offsets(part: AllNeighbours, start: int) -> Any:
    return part.offsets[1:] + start
