"""Query and search rows as the engine takes them: (rows, 3) float32 arrays, converted
from any array-like once, and the rows with non-finite coordinates."""

from __future__ import annotations

from typing import Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra._kesra import _remap_rows
from kesra.origin import to_float32

__all__ = ["MAX_ENGINE_ROWS", "NonFinite", "as_points", "as_rows", "caller_rows", "check_engine_rows", "finite_rows",
           "refuse_masked", "spread"]

MAX_ENGINE_ROWS = 2**31 - 1  # an engine's row numbers are int32
NonFinite = Literal["drop", "keep"]  # what a search does with rows holding NaN or infinity
CHUNK_ROWS = 1 << 20


def as_points(values: ArrayLike, name: str, rows: str, *, single: bool = False,
              origin: NDArray[np.float64] | None = None) -> NDArray[np.float32]:
    """`values` as a C-contiguous float32 (rows, 3) array, copied only when needed. An
    empty sequence is an empty (0, 3) array; with `single`, a point of shape (3,) is
    one row. With `origin`, the rows are shifted by it first (`to_float32`)."""
    return to_float32(as_rows(values, name, rows, single=single), origin, name)


def as_rows(values: ArrayLike, name: str, rows: str, *, single: bool = False) -> NDArray[Any]:
    """`values` as a (rows, 3) real array of any number type, an array as it is; values
    that are not numbers yet become float64."""
    if values is None:
        raise TypeError(f"{name} must be an array-like of shape ({rows}, 3), got None")
    refuse_masked(values, name)
    if not isinstance(values, np.ndarray):
        try:
            values = np.asarray(values)
        except (TypeError, ValueError) as e:
            raise type(e)(f"{name} cannot be converted to a float32 array: {e}") from e
    if np.issubdtype(values.dtype, np.complexfloating):
        raise TypeError(f"{name} must be real coordinates, got complex values ({values.dtype})")
    if values.shape == (0,) or (single and values.shape == (3,)):
        values = values.reshape(-1, 3)
    if values.ndim != 2 or values.shape[1] != 3:
        raise ValueError(f"{name} must have shape ({rows}, 3), got {values.shape}")
    if values.dtype.kind not in "biuf":
        try:
            values = values.astype(np.float64)
        except (TypeError, ValueError) as e:
            raise type(e)(f"{name} cannot be converted to a float32 array: {e}") from e
    return values


def refuse_masked(values: object, name: str) -> None:
    """Refuses a masked array that masks anything: its mask would be ignored."""
    if isinstance(values, np.ma.MaskedArray) and (masked := int(np.count_nonzero(np.ma.getmaskarray(values)))):
        raise ValueError(f"{name} is a masked array with {masked:,} masked values, and masks are not followed: "
                         f"pass {name}.filled(np.nan) to leave those rows out as non-finite, or {name}.data to "
                         "use the values under the mask")


def check_engine_rows(values: NDArray[Any], name: str, drop: bool) -> None:
    """Refuses, before any conversion, rows that would give an engine more than
    MAX_ENGINE_ROWS points; with `drop`, only the finite rows count (a chunk at a time)."""
    if len(values) <= MAX_ENGINE_ROWS:
        return
    kept = len(values)
    if drop:
        kept = sum(int(finite_rows(values[start:start + CHUNK_ROWS]).sum())
                   for start in range(0, len(values), CHUNK_ROWS))
    if kept > MAX_ENGINE_ROWS:
        what = f"{kept:,} finite rows" if drop else f"{kept:,} rows"
        raise ValueError(f"{name} has {what}: one engine holds at most {MAX_ENGINE_ROWS:,} (2**31 - 1) "
                         "points, as its row numbers are int32. kesra.dask.TiledEngine searches larger clouds "
                         "in tiles")


def finite_rows(points: NDArray[Any]) -> NDArray[np.bool_]:
    """Which rows have three finite coordinates. A check of the whole array answers the
    common case fast (sums along rows are slow in NumPy); otherwise a float64 sum of three
    float32 values never overflows, so it is finite exactly when all three are."""
    if np.isfinite(points).all():
        return np.ones(len(points), np.bool_)
    if points.dtype.itemsize > 4:  # float64 sums can overflow
        each: NDArray[np.bool_] = np.isfinite(points).all(axis=1)
        return each
    finite: NDArray[np.bool_] = np.isfinite(points.sum(axis=1, dtype=np.float64))
    return finite


def caller_rows(row_numbers: NDArray[Any] | None, indices: NDArray[np.int32], num_threads: int = 0,
                ) -> NDArray[Any]:
    """The engine's row numbers `indices` (-1 for none) as the caller's, by the increasing
    map `row_numbers` (its last entry -1; None: the same rows): in place where the map is
    int32, as NumPy's indexing would hold a second array of their size; else int64."""
    if row_numbers is None:
        return indices
    if row_numbers.dtype == np.int32:
        _remap_rows(row_numbers, indices, num_threads)
        return indices
    mapped: NDArray[np.int64] = row_numbers[indices]
    return mapped


def spread(values: NDArray[Any], rows: NDArray[np.bool_], fill: float) -> NDArray[Any]:
    """Results of the `rows` of a longer array, back in place; `fill` elsewhere."""
    out = np.full((len(rows), *values.shape[1:]), fill, values.dtype)
    out[rows] = values
    return out
