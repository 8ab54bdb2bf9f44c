"""`method="auto"`: the search structure for a cloud, chosen from a cheap look at it.

A random sample of the points (a fixed seed, so the choice is repeatable) is binned into
cells of edge r, as the grid-based methods bin them, and gives two figures:

- `crowding`: how many points share the typical point's cell (weighted by points);
- `sparse`: the share of points in cells of their own, beyond what crowding explains.

From the benchmark (build plus one k-nearest find of every point): the voxel grid is
fastest where cells hold a few points each. Where the typical point shares its cell with
dozens, the voxel grid's finds slow down, and "kdtree" finds fastest: on the crowded
statue scan (crowding 750) its whole job beat "hybrid"'s by 6 %, on the clustered
million-point cloud by 16 %. Where many points sit alone in their cells beside crowded
parts, "kdtree" finds fastest too: lone points cost the voxel grid a visit of 27 mostly
empty cells each; on the real scans measured, "kdtree" already won the whole job where
8 % of the points were lone, and tied the voxel grid at 1-3 %. "hybrid" (kd subtrees in
crowded cells) counts fastest on the crowded scan, but is not chosen: the choice follows
the k-nearest find. Small clouds, where builds take well under a millisecond, are given
"kdtree" without a look.
"""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

from kesra._kesra import _sample_occupancy

SMALL_CLOUD = 16_384  # fewer points: "kdtree" without a look
CROWDED = 48.0  # crowding at or above which "kdtree" is chosen
SPARSE = 0.05  # share of lone points from which "kdtree" is chosen


class Choice(NamedTuple):
    """The method chosen for `method="auto"` and the figures it was chosen on (None for
    clouds too small to look at)."""

    method: str
    crowding: float | None = None
    sparse: float | None = None

    def describe(self) -> str:
        """One line: what was chosen, and why."""
        if self.crowding is None or self.sparse is None:
            return f"auto chose {self.method} for a cloud under {SMALL_CLOUD:,} points"
        return f"auto chose {self.method} at crowding {self.crowding:.1f}, sparse share {self.sparse:.2f}"


def sample_size(num_points: int) -> int:
    """Rows looked at: a thirty-second of the cloud, between 2,048 and 8,192."""
    return min(max(num_points // 32, 2048), 8192)


def choose_method(points: NDArray[np.float32], radius: float) -> Choice:
    """The method for `points` (finite float32 rows) searched at `radius`."""
    if len(points) < SMALL_CLOUD:
        return Choice("kdtree")
    crowding, alone, fraction, sampled = _sample_occupancy(points, radius, sample_size(len(points)))
    # A cloud whose cells all held `crowding` points would leave this share of the sample
    # alone in its cell; lone points beyond it sit in cells of their own.
    expected = (1.0 - fraction) ** max(crowding - 1.0, 0.0)
    sparse = max(alone - expected, 0.0) / (1.0 - expected) if expected < 1.0 else 0.0
    method = "kdtree" if crowding >= CROWDED or sparse >= SPARSE else "voxel"
    return Choice(method, round(crowding, 3), round(sparse, 3))
