"""`indices_by_field`: the rows of a cloud grouped by an integer field, for any integer
array-like (the engine's function takes int64 arrays only)."""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra import _kesra
from kesra.rows import refuse_masked

__all__ = ["indices_by_field"]


def indices_by_field(row_ids: ArrayLike, counts: ArrayLike) -> dict[int, NDArray[np.uint64]]:
    """The rows of a cloud grouped by an integer field (a classification, a segment or
    cluster label, a tile number), in one pass.

    Args:
        row_ids: Each row's id, shape (N,): any integer array-like (uint8 LAS
            classifications, lists, ...), each id in [0, U)
        counts: How many rows carry each id, shape (U,), any integer array-like

    Returns:
        {id: row numbers} for every id in [0, U), the row numbers ascending. They are
        uint64 arrays: index with them as they are, but turn them into int64
        (`rows.view(np.int64)`, no copy) before arithmetic with signed integers, which
        NumPy would do in float64.

    Raises:
        ValueError: ids out of range, or ids and counts that disagree
    """
    return _kesra.indices_by_field(_int64_field(row_ids, "row_ids"), _int64_field(counts, "counts"))


def _int64_field(values: ArrayLike, name: str) -> NDArray[np.int64]:
    refuse_masked(values, name)
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    if array.size == 0:
        return np.zeros(0, np.int64)
    if array.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, got {array.dtype}")
    if array.dtype == np.uint64 and int(array.max()) > np.iinfo(np.int64).max:
        raise ValueError(f"{name} holds {int(array.max())}, beyond int64")
    return array.astype(np.int64, copy=False)
