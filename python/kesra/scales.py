"""Local shape at several neighbourhood sizes: `ScaledGeometry`, what
`KesraNNS.local_geometry` returns for several radii or several k, and `feature_table`,
the eigenvalue features of every scale in one table."""

from __future__ import annotations

from typing import Literal, NamedTuple

import numpy as np
from numpy.typing import NDArray

from kesra.local_geometry import LocalGeometry, features

__all__ = ["ScaledGeometry", "feature_table"]


class ScaledGeometry(NamedTuple):
    """The shape of the neighbourhood of each of M query rows at S scales (radii or
    neighbour counts k), each scale exactly as `local_geometry` describes one.
    `at(s)` is scale s as a `LocalGeometry`, which `kesra.features` takes."""

    eigenvalues: NDArray[np.float32]
    """float32 (M, S, 3): each scale's eigenvalues, ascending"""
    normals: NDArray[np.float32]
    """float32 (M, S, 3): each scale's unit normals, NaN where it has none"""
    counts: NDArray[np.int64]
    """int64 (M, S): the neighbours each scale's shape was computed from"""
    scales: tuple[float, ...] | tuple[int, ...]
    """the radii or the k, in the order given"""
    by: Literal["radius", "k"]
    """which of the two `scales` holds"""

    def at(self, scale: int) -> LocalGeometry:
        """Scale number `scale` (an index into `scales`) as a `LocalGeometry`."""
        index = range(len(self.scales))[scale]
        return LocalGeometry(self.eigenvalues[:, index], self.normals[:, index], self.counts[:, index])

    def names(self) -> list[str]:
        """Each scale's name in `feature_table`: "r" and the radius as its shortest
        float32 text ("r0.5", "r2"), or "k" and the count ("k10")."""
        return scale_names(self.scales, self.by)

    def least_entropy_scale(self) -> NDArray[np.int64]:
        """For each row, the index of the scale whose eigenentropy is least (the
        "optimal neighbourhood" among the scales given), the first of equal ones;
        -1 where no scale has a shape."""
        entropy = np.stack([features(self.at(s))["eigenentropy"] for s in range(len(self.scales))], axis=1)
        shaped = ~np.isnan(entropy).all(axis=1)
        best = np.full(len(entropy), -1, np.int64)
        best[shaped] = np.nanargmin(entropy[shaped], axis=1)
        return best


def scale_names(scales: tuple[float, ...] | tuple[int, ...] | list[float] | list[int],
                by: Literal["radius", "k"]) -> list[str]:
    """The names `ScaledGeometry.names` gives `scales`."""
    if by == "k":
        return [f"k{k}" for k in scales]
    return ["r" + np.format_float_positional(np.float32(r), trim="-") for r in scales]


def feature_table(result: ScaledGeometry) -> dict[str, NDArray[np.float32]]:
    """The `kesra.features` of every scale of `result` in one table: a dict of float32
    (M,) arrays named "<feature>_<scale>" ("planarity_r0.5", "linearity_k10"), feature
    by feature and each feature's scales in the order given. `np.column_stack(list(
    table.values()))` makes it an (M, F x S) array with `list(table)` its column names;
    `pandas.DataFrame(table)` a data frame.

    Raises:
        TypeError: `result` is not a ScaledGeometry
    """
    if not isinstance(result, ScaledGeometry):
        raise TypeError(f"result must be a ScaledGeometry, got {type(result).__name__}")
    per_scale = [features(result.at(s)) for s in range(len(result.scales))]
    names = result.names()
    return {f"{feature}_{name}": found[feature]
            for feature in per_scale[0]
            for name, found in zip(names, per_scale)}
