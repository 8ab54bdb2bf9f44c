"""How the benchmarks choose r for a cloud: two rules, both about 30 neighbours a point.

- "mean": the mean point has about 30 other points within r;
- "median": r is the median, over a sample, of the distance to the 31st nearest point
  (the point itself included), so the median point has about 30.

On skewed scans the two differ a lot: under the mean rule the median point of bun0
has 2 neighbours. Both are the package's own estimate, kesra.suggest_radius.
"""

import numpy as np

import kesra

RULES = ["mean", "median"]
NEIGHBOURS = 30


def suggest_radius(points, rule, neighbours=NEIGHBOURS):
    """r for `points` (finite float32 rows) under `rule`, rounded to float32 as the engine compares it."""
    if rule not in RULES:
        raise ValueError(f"unknown radius rule {rule!r}; available: {RULES}")
    return float(np.float32(kesra.suggest_radius(points, neighbours=neighbours, rule=rule)))
