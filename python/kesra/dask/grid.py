"""The grid of axis-aligned tiles a cloud is cut into, and which tiles each point and
each tile's halo fall in."""

from __future__ import annotations

import itertools
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray


@dataclass(frozen=True)
class Grid:
    """Axis-aligned tiles of edge `tile_size` from `origin`, `shape` of them per axis.
    Tile coordinates are clamped into the grid, so the edge tiles reach to infinity
    and every finite point lies in exactly one tile. `reach` is how far, per axis, a
    neighbour within the radius can lie from its point."""

    origin: NDArray[np.float64]
    tile_size: NDArray[np.float64]
    shape: tuple[int, int, int]
    reach: float

    def coords(self, values: NDArray[np.float64]) -> NDArray[np.int64]:
        """Tile coordinates of finite (n, 3) values."""
        t = np.floor((values - self.origin) / self.tile_size)
        return np.clip(t, 0, np.array(self.shape) - 1).astype(np.int64)

    def route(self, points: NDArray[Any]) -> NDArray[np.int64]:
        """Tile number of each row; -1 for rows with a non-finite coordinate."""
        p = np.asarray(points, np.float64)
        finite = np.isfinite(p).all(axis=1)
        out = np.full(len(p), -1, np.int64)
        out[finite] = np.ravel_multi_index(tuple(self.coords(p[finite]).T), self.shape)
        return out

    def halo(self, points: NDArray[np.float32], width: float,
             ) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
        """(row, tile) pairs: every finite row with every tile whose box, grown by
        `width`, holds it. Non-finite rows belong to no tile."""
        p = np.asarray(points, np.float64)
        rows = np.flatnonzero(np.isfinite(p).all(axis=1))
        p = p[rows]
        low, high = self.coords(p - width), self.coords(p + width)
        # Most rows of tiles far wider than their halos lie in one tile only.
        alone = (low == high).all(axis=1)
        pair_rows = [rows[alone]]
        pair_tiles = [np.ravel_multi_index(tuple(low[alone].T), self.shape).astype(np.int64)]
        rows, low, high = rows[~alone], low[~alone], high[~alone]
        span = (high - low).max(axis=0) + 1 if len(rows) else np.zeros(3, np.int64)
        for offset in itertools.product(*(range(int(s)) for s in span)):
            t = low + np.array(offset)
            inside = (t <= high).all(axis=1)
            pair_rows.append(rows[inside])
            pair_tiles.append(np.ravel_multi_index(tuple(t[inside].T), self.shape).astype(np.int64))
        return np.concatenate(pair_rows), np.concatenate(pair_tiles)


def tile_sizes(tile_size: float | Sequence[float]) -> NDArray[np.float64]:
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


def make_grid(low: NDArray[np.float64], high: NDArray[np.float64], size: NDArray[np.float64],
              radius: float) -> Grid:
    if not np.isfinite(low).all():  # no finite point: one tile, which stays empty
        low = high = np.zeros(3)
    shape = tuple(int(max(1, math.ceil(n))) if math.isfinite(n) else 1 for n in (high - low) / size)
    if math.prod(shape) > 2**40:
        raise ValueError(f"tile_size {tuple(size.tolist())} gives {shape} tiles; use larger tiles")
    # A neighbour lies strictly within the float32 radius in float32 arithmetic, so per
    # axis within r (1 + a few ulp) of its point. The reach adds a relative slack for
    # that and an absolute one for the float64 rounding of the tile arithmetic; a wider
    # halo only adds points to a tile, it never changes an answer.
    r = max(float(radius), float(np.float32(radius)))
    scale = float(np.abs(np.concatenate([low, high])).max()) + float(np.where(np.isfinite(size), size, 0).max())
    return Grid(low, size, shape, r * (1 + 1e-3) + 1e-12 * scale)  # type: ignore[arg-type]


def finite_bounds(points: NDArray[Any]) -> NDArray[np.float64]:
    """Minimum and maximum corner, (2, 3) float64, of the rows with three finite
    coordinates; +inf and -inf without any."""
    p = np.asarray(points, np.float64)
    p = p[np.isfinite(p).all(axis=1)]
    if not len(p):
        return np.array([[np.inf] * 3, [-np.inf] * 3])
    return np.stack([p.min(axis=0), p.max(axis=0)])
