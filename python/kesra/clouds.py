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


def terrestrial_scan(n: int, seed: int = 0, reach: float = 60.0) -> NDArray[np.float32]:
    """Like one station of a terrestrial laser scan: float32 (n, 3) in the scanner's
    order (line by line in azimuth), scanner at the origin, 1.5 m above the ground.

    60 % ground and 27 % walls (building fronts), both thinning with the square of the
    distance as a scanner's returns do, so that the ground near the station is very
    dense; 10 % clutter (trees, cars: loose blobs); 3 % stray returns in the air.
    """
    rng = np.random.default_rng(seed)
    parts = np.array([0.60, 0.27, 0.10, 0.03])
    counts = np.floor(parts * n).astype(int)
    counts[0] += n - counts.sum()
    # Ground: distances log-uniform from 2 m, so the density falls with the square of it.
    d = np.exp(rng.uniform(np.log(2.0), np.log(reach), counts[0]))
    a = rng.uniform(-np.pi, np.pi, counts[0])
    gx, gy = d * np.cos(a), d * np.sin(a)
    ground = np.stack([gx, gy, 0.02 * gx + 0.3 * np.sin(gy / 7.0) + rng.normal(0, 0.01, counts[0]) - 1.5], 1)
    # Walls: four fronts at different distances, denser the nearer.
    fronts = np.array([[12.0, 0.0], [0.0, 20.0], [-30.0, 0.0], [0.0, -45.0]])
    share = 1.0 / np.sum(fronts**2, axis=1)
    which = rng.choice(4, counts[1], p=share / share.sum())
    along = rng.uniform(-25.0, 25.0, counts[1])
    height = rng.uniform(-1.5, 10.0, counts[1])
    depth = rng.normal(0.0, 0.01, counts[1])
    f = fronts[which]
    on_x = f[:, 0] != 0
    walls = np.stack([np.where(on_x, f[:, 0] + depth, along), np.where(on_x, along, f[:, 1] + depth), height], 1)
    # Clutter: 40 loose blobs (canopies, cars) around the station.
    centres = np.concatenate([rng.uniform(-reach / 2, reach / 2, (40, 2)), rng.uniform(0.0, 5.0, (40, 1))], 1)
    clutter = centres[rng.integers(0, 40, counts[2])] + rng.normal(0.0, 1.2, (counts[2], 3))
    stray = np.concatenate([rng.uniform(-reach, reach, (counts[3], 2)), rng.uniform(-1.5, 25.0, (counts[3], 1))], 1)
    points = np.concatenate([ground, walls, clutter, stray])
    # The scanner's order: by azimuth in 0.1-degree lines, then by elevation within a line.
    azimuth = np.floor((np.arctan2(points[:, 1], points[:, 0]) + np.pi) * 1800 / np.pi)
    elevation = np.arctan2(points[:, 2], np.hypot(points[:, 0], points[:, 1]))
    return points[np.lexsort((elevation, azimuth))].astype(np.float32)
