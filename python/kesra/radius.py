"""`suggest_radius`: a search radius that gives points a wanted number of neighbours."""

from __future__ import annotations

import math
from typing import Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kesra._kesra import KesraNNSEngine
from kesra.arguments import whole_number
from kesra.rows import as_points, finite_rows

__all__ = ["Rule", "suggest_radius"]

Rule = Literal["median", "mean"]
MEAN_TOLERANCE = 0.05


def suggest_radius(points: ArrayLike, neighbours: int = 30, rule: Rule = "median", *,
                   sample: int = 5000, seed: int = 0) -> float:
    """A search radius at which a typical point of `points` has about `neighbours`
    other points strictly within it (`count_neighbours` then counts one more: the
    point itself).

    Args:
        points: The search points, shape (N, 3); rows with a NaN or infinite
            coordinate are ignored
        neighbours: Wanted neighbours per point, besides the point itself
        rule: "median": the median, over the sampled points, of the distance to the
            `neighbours`-th nearest other point (nudged up to the next float32, so
            that this point lies strictly within): the median point gets exactly
            `neighbours`, whatever the crowded or sparse parts hold. "mean": points
            get `neighbours` on average (within 5 %), which crowded parts pull down
        sample: How many randomly chosen points the rule looks at
        seed: Seed of the random sample, for repeatable results

    Returns:
        The radius, a positive float

    Raises:
        ValueError: fewer than `neighbours` + 1 finite points, or (rule "median")
            more than half the sampled points with `neighbours` others at distance 0
    """
    target = whole_number(neighbours, "neighbours", 1)
    size = whole_number(sample, "sample", 1)
    if rule not in ("median", "mean"):
        raise ValueError(f'rule must be "median" or "mean", got {rule!r}')
    cloud = as_points(points, "points", "N")
    cloud = np.ascontiguousarray(cloud[finite_rows(cloud)])
    if len(cloud) <= target:
        raise ValueError(f"need at least {target + 1} finite points for {target} neighbours, got {len(cloud)}")
    rng = np.random.default_rng(seed)
    queries = cloud[rng.choice(len(cloud), size=min(size, len(cloud)), replace=False)]
    radius = box_radius(cloud, target)
    return (median_rule if rule == "median" else mean_rule)(cloud, queries, target, radius)


def box_radius(cloud: NDArray[np.float32], target: int) -> float:
    """The radius `target` neighbours would need if the points filled their bounding box
    evenly; percentiles keep a few far outliers from inflating the box."""
    lo, hi = np.percentile(cloud, [0.5, 99.5], axis=0)
    extent = np.maximum(hi - lo, 1e-12 * max(float(np.abs(hi).max()), 1.0))
    return float((3.0 * target * float(np.prod(extent)) / (4.0 * math.pi * len(cloud))) ** (1.0 / 3.0))


def median_rule(cloud: NDArray[np.float32], queries: NDArray[np.float32], target: int, radius: float) -> float:
    """Finds the `target`-th nearest other point of every sampled point (the (target + 1)-th
    counting the point itself), widening the radius until more than half are found."""
    while True:
        _, distances = KesraNNSEngine(cloud, radius).find_neighbours(queries, target + 1)
        farthest = np.where(distances[:, -1] >= 0, distances[:, -1], np.float32(np.inf))
        median = np.float32(np.median(farthest))
        if np.isfinite(median):
            break
        radius *= 2
    if median == 0:
        raise ValueError(f"more than half the sampled points have {target} or more duplicates: "
                         "no radius separates them")
    return float(np.nextafter(median, np.float32(np.inf)))


def mean_rule(cloud: NDArray[np.float32], queries: NDArray[np.float32], target: int, radius: float) -> float:
    """Counts the neighbours of the sample and rescales the radius, learning how the count
    grows with it (about r^2 on a surface, r^3 in a volume) from successive counts."""
    dimension, previous = 2.0, (0.0, 0.0)
    for _ in range(12):
        found = float(KesraNNSEngine(cloud, radius).count_neighbours(queries).mean()) - 1.0  # not itself
        if abs(found - target) <= MEAN_TOLERANCE * target:
            break
        if previous[0] > 0 and found > 0 and previous[1] > 0 and found != previous[1]:
            slope = math.log(found / previous[1]) / math.log(radius / previous[0])
            dimension = min(max(slope, 1.0), 3.0)
        previous = (radius, found)
        radius *= (target / found) ** (1.0 / dimension) if found > 0 else 4.0
    return radius
