"""Query and search rows as the engine takes them: (rows, 3) float32 arrays, converted
from any array-like once, and the rows with non-finite coordinates."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra.origin import to_float32

__all__ = ["as_points", "as_rows", "finite_rows", "spread"]


def as_points(values: ArrayLike, name: str, rows: str, *, single: bool = False,
              origin: NDArray[np.float64] | None = None) -> NDArray[np.float32]:
    """`values` as a C-contiguous float32 (rows, 3) array, copied only when needed. An
    empty sequence is an empty (0, 3) array; with `single`, a point of shape (3,) is
    one row. With `origin`, the rows are shifted by it in float64 first."""
    if origin is None:
        return as_rows(values, name, rows, np.float32, single=single)
    return to_float32(as_rows(values, name, rows, np.float64, single=single), origin)


def as_rows(values: ArrayLike, name: str, rows: str, dtype: type[np.floating[Any]] | None, *,
            single: bool = False) -> NDArray[Any]:
    """`values` as a (rows, 3) array: C-contiguous `dtype`, or with dtype None a real
    array of any number type, as it is."""
    if not isinstance(values, np.ndarray):
        try:
            values = np.asarray(values)
        except (TypeError, ValueError) as e:
            raise type(e)(f"{name} cannot be converted to a float32 array: {e}") from e
    if np.issubdtype(values.dtype, np.complexfloating):
        raise TypeError(f"{name} must be real coordinates, got complex values ({values.dtype})")
    try:
        if dtype is not None or values.dtype.kind not in "biuf":
            values = np.ascontiguousarray(values, dtype=dtype or np.float32)
    except (TypeError, ValueError) as e:
        raise type(e)(f"{name} cannot be converted to a float32 array: {e}") from e
    if values.shape == (0,) or (single and values.shape == (3,)):
        values = values.reshape(-1, 3)
    if values.ndim != 2 or values.shape[1] != 3:
        raise ValueError(f"{name} must have shape ({rows}, 3), got {values.shape}")
    return values


def finite_rows(points: NDArray[np.float32]) -> NDArray[np.bool_]:
    """Which rows have three finite coordinates. A check of the whole array answers the
    common case fast (sums along rows are slow in NumPy); otherwise a float64 sum of three
    float32 values never overflows, so it is finite exactly when all three are."""
    if np.isfinite(points).all():
        return np.ones(len(points), np.bool_)
    finite: NDArray[np.bool_] = np.isfinite(points.sum(axis=1, dtype=np.float64))
    return finite


def spread(values: NDArray[Any], rows: NDArray[np.bool_], fill: float) -> NDArray[Any]:
    """Results of the `rows` of a longer array, back in place; `fill` elsewhere."""
    out = np.full((len(rows), *values.shape[1:]), fill, values.dtype)
    out[rows] = values
    return out
