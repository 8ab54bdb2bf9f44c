"""The shape of each query row's neighbourhood: `LocalGeometry`, `features`, the
eigenvalue features computed from it, and `viewpoint`, the point normals are turned to."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra.rows import as_points

__all__ = ["LocalGeometry", "curvature", "features", "viewpoint"]


class LocalGeometry(NamedTuple):
    """The shape of the neighbourhood of each of M query rows, from the covariance of its
    points (centred on their mean, divided by their count): its eigenvalues, and the
    direction in which the points spread least. Rows that have no shape, too few
    neighbours or a query left out, are NaN in `eigenvalues` and `normals`; rows whose
    points lie at one spot or on one line have eigenvalues but NaN `normals`."""

    eigenvalues: NDArray[np.float32]
    """float32 (M, 3): the eigenvalues of the covariance, ascending in each row"""
    normals: NDArray[np.float32]
    """float32 (M, 3): unit eigenvectors of the smallest eigenvalue, the normals of
    surfaces; a normal and its negation are equally valid. NaN where there is no
    defined normal: the two smallest eigenvalues within 1e-6 of the largest"""
    counts: NDArray[np.int64]
    """int64 (M,): how many neighbours each row's shape was computed from (int64, as
    `AllNeighbours.counts()`)"""


def viewpoint(orient_towards: ArrayLike | None, origin: NDArray[np.float64] | None) -> list[float] | None:
    """`orient_towards`, one finite point (x, y, z), shifted like the queries by `origin`,
    as the engine takes it; None stays None."""
    if orient_towards is None:
        return None
    if np.shape(orient_towards) not in ((3,), (1, 3)):
        raise ValueError(f"orient_towards must be one point (x, y, z), got shape {np.shape(orient_towards)}")
    view = as_points(orient_towards, "orient_towards", "1", single=True, origin=origin)
    if not np.isfinite(view).all():
        raise ValueError(f"orient_towards must be one finite point (x, y, z), got {orient_towards!r}")
    point: list[float] = view[0].tolist()
    return point


def features(result: LocalGeometry) -> dict[str, NDArray[np.float32]]:
    """The eigenvalue features of each row of `result`, float32 (M,) arrays in a dict.

    With l1 >= l2 >= l3 the eigenvalues of a row, S = l1 + l2 + l3 their sum,
    ei = li / S, and n the normal:

    - "linearity": (l1 - l2) / l1
    - "planarity": (l2 - l3) / l1
    - "scattering": l3 / l1
    - "omnivariance": (e1 e2 e3)^(1/3)
    - "anisotropy": (l1 - l3) / l1
    - "eigenentropy": -(e1 ln e1 + e2 ln e2 + e3 ln e3), with 0 ln 0 = 0
    - "eigenvalue_sum": S
    - "change_of_curvature": l3 / S
    - "verticality": 1 - |n_z|: 0 for a horizontal surface, 1 for a vertical one

    Linearity, planarity and scattering add up to 1. Eigenvalues below zero, which
    rounding leaves on flat or straight neighbourhoods, count as zero. Rows whose
    eigenvalues are all zero (every neighbour at one spot) have no shape: their ratios
    are NaN without a warning, their eigenvalue_sum is 0. NaN rows stay NaN.

    Raises:
        TypeError: `result` is not a LocalGeometry
        ValueError: its eigenvalues or normals are not (M, 3), or eigenvalues are
            not ascending in a row
    """
    if not isinstance(result, LocalGeometry):
        raise TypeError(f"result must be a LocalGeometry, got {type(result).__name__}")
    values = np.asarray(result.eigenvalues, dtype=np.float64)
    normals = np.asarray(result.normals, dtype=np.float64)
    if values.ndim != 2 or values.shape[1] != 3 or normals.shape != values.shape:
        raise ValueError(f"result.eigenvalues and result.normals must both be (M, 3), got {values.shape} "
                         f"and {normals.shape}")
    if np.any(values[:, 0] > values[:, 1]) or np.any(values[:, 1] > values[:, 2]):
        raise ValueError("result.eigenvalues must be ascending in each row")
    l3, l2, l1 = np.maximum(values, 0.0).T
    total = l1 + l2 + l3
    with np.errstate(divide="ignore", invalid="ignore"):
        shares = np.maximum(values, 0.0) / total[:, None]
        x_log_x = shares * np.log(shares)
        x_log_x[shares == 0.0] = 0.0
        named = {
            "linearity": (l1 - l2) / l1,
            "planarity": (l2 - l3) / l1,
            "scattering": l3 / l1,
            "omnivariance": np.cbrt(shares.prod(axis=1)),
            "anisotropy": (l1 - l3) / l1,
            "eigenentropy": 0.0 - x_log_x.sum(axis=1),  # 0.0, not -0.0, for a line
            "eigenvalue_sum": total,
            "change_of_curvature": curvature(result),
            "verticality": 1.0 - np.abs(normals[:, 2]),
        }
    return {name: feature.astype(np.float32) for name, feature in named.items()}


def curvature(result: LocalGeometry) -> NDArray[np.float32]:
    """`features(result)["change_of_curvature"]` alone, l3 / (l1 + l2 + l3) of each row,
    without computing the other features."""
    l3, l2, l1 = np.maximum(np.asarray(result.eigenvalues, dtype=np.float64), 0.0).T
    with np.errstate(divide="ignore", invalid="ignore"):
        share: NDArray[np.float32] = (l3 / (l1 + l2 + l3)).astype(np.float32)
    return share
