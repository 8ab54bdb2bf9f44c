"""Synthetic point clouds for the demo and the benchmark."""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray


def height_field_surface(n: int, seed: int = 0, size: float = 100.0) -> NDArray[np.float32]:
    """Lidar-like scan of rolling terrain: float32 (n, 3), x and y uniform over size x size.

    z is a smooth sum of waves and hills with 3 cm of sensor noise; about 3 % of
    the points sit up to a few metres above the ground, like vegetation or
    stray returns, so cell occupancy varies the way it does in real scans.
    """
    rng = np.random.default_rng(seed)
    x, y = rng.uniform(0.0, size, (2, n))
    u, v = x / size, y / size
    z = (
        2.0 * np.sin(2 * np.pi * 2.5 * u) * np.cos(2 * np.pi * 1.8 * v)
        + 0.8 * np.sin(2 * np.pi * 4.3 * (u + v))
        + 6.0 * np.exp(-((u - 0.3) ** 2 + (v - 0.6) ** 2) / 0.02)
        + 4.0 * np.exp(-((u - 0.75) ** 2 + (v - 0.25) ** 2) / 0.01)
        + rng.normal(0.0, 0.03, n)
    )
    above = rng.random(n) < 0.03
    z[above] += rng.exponential(1.5, int(above.sum()))
    return np.stack([x, y, z], axis=1).astype(np.float32)


def uniform_cube(n: int, seed: int = 0, size: float = 100.0) -> NDArray[np.float32]:
    """Points uniform in a cube of side `size`: float32 (n, 3)."""
    rng = np.random.default_rng(seed)
    return rng.uniform(0.0, size, (n, 3)).astype(np.float32)


def clustered_cloud(n: int, seed: int = 0, size: float = 100.0, clusters: int = 20) -> NDArray[np.float32]:
    """Half the points uniform in a cube of side `size`, the other half in `clusters`
    dense blobs that together fill 1 % of its volume: float32 (n, 3). Cells inside the
    blobs are about a hundred times as crowded as the others."""
    rng = np.random.default_rng(seed)
    side = size * (0.01 / clusters) ** (1 / 3)
    corners = rng.uniform(0.0, size - side, (clusters, 3))
    dense = n // 2
    blobs = corners[rng.integers(0, clusters, dense)] + rng.uniform(0.0, side, (dense, 3))
    points = np.concatenate([rng.uniform(0.0, size, (n - dense, 3)), blobs])
    return points[rng.permutation(n)].astype(np.float32)


def sparse_radius(n: int, target: float = 30, size: float = 100.0) -> float:
    """Radius giving about `target` neighbours in the uniform half of `clustered_cloud`
    (inside the blobs the same radius holds about a hundred times more)."""
    density = (n - n // 2) / size**3
    return float((target / density / (4 / 3 * math.pi)) ** (1 / 3))
