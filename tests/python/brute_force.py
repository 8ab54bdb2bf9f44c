"""Exact answers by testing every (query, point) pair in the engine's float32 arithmetic:
d2 = ((qx-px)^2 + (qy-py)^2) + (qz-pz)^2, and a point counts when d2 < r*r."""

from types import SimpleNamespace

import numpy as np

F32 = np.float32


def random_cloud(n, seed, low=-10.0, high=10.0):
    return np.random.default_rng(seed).uniform(low, high, (n, 3)).astype(F32)


def sq_dist(q, p):
    """Squared distances in the engine's order of operations; broadcasts."""
    dx, dy, dz = (q[..., a] - p[..., a] for a in range(3))
    return (dx * dx + dy * dy) + dz * dz


def brute_force(points, queries, r, k=0, weights=()):
    """best: the k smallest d2 per query, ascending, inf-padded; count: float32 counts;
    sums[p]: weighted sums (float64 sums of the float32 contributions)."""
    points, queries = np.asarray(points, F32), np.asarray(queries, F32)
    r = F32(r)
    with np.errstate(over="ignore"):
        r2, inv_r = r * r, F32(1) / r
    n, kk = len(queries), min(k, len(points))
    out = SimpleNamespace(best=np.full((n, k), np.inf, F32), count=np.zeros(n, F32),
                          sums={p: np.zeros(n) for p in weights})
    step = max(1, 4_000_000 // max(len(points), 1))
    for s in range(0, n, step):
        with np.errstate(all="ignore"):
            d2 = sq_dist(queries[s:s + step, None, :], points[None, :, :])
            within = d2 < r2
            d2 = np.where(within, d2, F32(np.inf))
            out.count[s:s + step] = within.sum(axis=1)
            if kk:
                part = np.partition(d2, kk - 1, axis=1)[:, :kk]
                out.best[s:s + step, :kk] = np.sort(part, axis=1)
            base = F32(1) - np.sqrt(d2) * inv_r
            for p in weights:
                w = base if F32(p) == 1 else np.power(base.astype(float), float(F32(p)))
                w = np.where(within, w.astype(F32), 0)
                out.sums[p][s:s + step] = w.sum(axis=1, dtype=float)
    return out


def check_find(result, points, queries, best):
    """Distances must be the oracle's, bit for bit; each index a distinct row whose own
    squared distance is the oracle's at its place (so rows ascend by squared distance, not
    only by its square root), equal squared distances by row number; ties at the k-th
    place may go either way."""
    idx, dist = result
    assert idx.dtype == np.int32 and dist.dtype == F32 and idx.shape == best.shape
    expected = np.where(np.isfinite(best), np.sqrt(best), F32(-1))
    bad = np.flatnonzero((dist != expected).any(axis=1))
    assert bad.size == 0, f"row {bad[0]}: got {dist[bad[0]]}, expected {expected[bad[0]]}"
    filled = idx >= 0
    assert (filled == (dist >= 0)).all() and (idx < len(points)).all()
    with np.errstate(all="ignore"):
        own_sq = sq_dist(queries[:, None, :], points[np.where(filled, idx, 0)])
    assert (np.sqrt(own_sq)[filled] == dist[filled]).all(), "an index does not match its distance"
    bad = np.flatnonzero((filled & (own_sq != best)).any(axis=1))
    assert bad.size == 0, f"row {bad[0]}: squared distances {own_sq[bad[0]]}, expected {best[bad[0]]}"
    tie = filled[:, 1:] & (own_sq[:, 1:] == own_sq[:, :-1])
    assert (idx[:, 1:][tie] > idx[:, :-1][tie]).all(), "equal squared distances not by row number"
    s = np.sort(np.where(filled, idx, -1 - np.arange(idx.shape[1])), axis=1)
    assert (s[:, 1:] != s[:, :-1]).all(), "a row lists the same point twice"


def sphere_cloud(centres, n, radius, seed):
    """n points at `radius` around random ones of `centres`: many of their squared
    distances to a centre lie one unit in the last place apart and share a float32
    square root, which only an order by the squared distance tells apart."""
    rng = np.random.default_rng(seed)
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1, keepdims=True)
    return (centres[rng.integers(0, len(centres), n)] + radius * d).astype(F32)


def check_sums(got, expected, counts):
    """float32 sums in visiting order: allow the rounding of `counts` additions."""
    tol = 1e-6 + 4 * np.finfo(F32).eps * np.maximum(counts, 1) * np.abs(expected)
    bad = np.flatnonzero(~(np.abs(got - expected) <= tol))
    assert bad.size == 0, f"row {bad[0]}: got {got[bad[0]]!r}, expected {expected[bad[0]]!r}"
