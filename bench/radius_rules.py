"""How the benchmarks choose r for a cloud: two rules, both about 30 neighbours a point.

- "mean": the mean point has about 30 other points within r;
- "median": r is the median, over a sample, of the distance to the 31st nearest point
  (the point itself included), so the median point has about 30.

On skewed scans the two differ a lot: under the mean rule the median point of bun0
has 2 neighbours. The package's own estimate is used when it offers one.
"""

import numpy as np
from scipy.spatial import cKDTree

import kesra
from kesra.clouds import radius_for_neighbours

RULES = ["mean", "median"]
NEIGHBOURS = 30
SAMPLE = 5000


def median_rule(points, neighbours=NEIGHBOURS, sample=SAMPLE, seed=0):
    """Median over `sample` points of the distance to their (neighbours + 1)-th nearest point."""
    rng = np.random.default_rng(seed)
    queries = points[rng.choice(len(points), size=min(sample, len(points)), replace=False)]
    k = min(neighbours + 1, len(points))
    distances, _ = cKDTree(points).query(queries, k=[k])
    return float(np.median(distances))


def suggest_radius(points, rule, neighbours=NEIGHBOURS):
    """r for `points` (finite float32 rows) under `rule`, rounded to float32 as the engine compares it."""
    if rule not in RULES:
        raise ValueError(f"unknown radius rule {rule!r}; available: {RULES}")
    if hasattr(kesra, "suggest_radius"):
        radius = kesra.suggest_radius(points, neighbours=neighbours, rule=rule)
    elif rule == "mean":
        radius = radius_for_neighbours(points, neighbours)
    else:
        radius = median_rule(points, neighbours)
    return float(np.float32(radius))
