"""Junk and extreme input for every method: the engine answers what the float32 rules
give, raises where a size cannot be had, and never crashes."""

import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import kesra
from brute_force import F32, brute_force, random_cloud, sq_dist

METHODS = kesra.available_methods()
EXACT = ["voxel", "kdtree", "hybrid"]
GRIDS = ["voxel", "hybrid", "graph"]
FMAX = np.finfo(F32).max


def engine_for(points, r, method, **kwargs):
    kwargs.setdefault("subtree_threshold", 4)  # subtrees in most cells of the hybrid grid
    return kesra.KesraNNSEngine(points, r, method, **kwargs)


def check_all_found(engine, points, queries, r, exact=True):
    """With k = N every point within r is listed: counts equal the filled slots, every
    listed point really is within r (or at a NaN distance), and an exact method lists
    exactly the brute-force neighbours."""
    idx, dist = engine.find_neighbours(queries, len(points))
    counts = engine.count_neighbours(queries)
    filled = idx >= 0
    np.testing.assert_array_equal(counts, filled.sum(axis=1))
    with np.errstate(all="ignore"):
        d2 = sq_dist(queries[:, None, :], points[None, :, :])
        within = (d2 < F32(r) * F32(r)) | np.isnan(d2)
    listed = np.zeros_like(within)
    rows = np.nonzero(filled)
    listed[rows[0], idx[rows]] = True
    assert not (listed & ~within).any(), "a listed point is not within the radius"
    if exact:
        finite = ~np.isnan(d2)
        np.testing.assert_array_equal(listed & finite, within & finite)
    return idx, dist, counts


@pytest.mark.parametrize("method", METHODS)
def test_non_finite_coordinates(method):
    points = random_cloud(400, seed=51, low=-2, high=2)
    junk = [[np.nan] * 3, [np.nan, 0.2, 0.1], [np.inf, 0, 0], [-np.inf, 1, 1], [0.5, np.inf, np.nan]]
    points[::80] = junk
    queries = np.concatenate([random_cloud(200, seed=52, low=-2.5, high=2.5), points[::80],
                              np.array([[0.1, 0.1, np.nan], [np.inf] * 3, [-np.inf, np.inf, 0]], F32)])
    engine = engine_for(points, 0.6, method)
    idx, dist, _ = check_all_found(engine, points, queries, 0.6, exact=method in EXACT)
    assert np.isnan(engine.count_neighbours(queries[-3:], distance_weight_factor=2.0)).any()
    # Non-finite points survive pickling bit for bit and answer alike.
    copy = pickle.loads(pickle.dumps(engine))
    for a, b in zip(copy.find_neighbours(queries, len(points)), (idx, dist), strict=True):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("method", METHODS)
def test_all_points_identical(method):
    # Enough points for the parallel builds; every split and cell is degenerate.
    n = 70_000
    points = np.full((n, 3), 1.25, F32)
    engine = engine_for(points, 0.5, method, subtree_threshold=64)
    queries = np.array([[1.25, 1.25, 1.25], [1.5, 1.25, 1.0], [9, 9, 9]], F32)
    idx, dist = engine.find_neighbours(queries, 16)
    assert (dist[:2] >= 0).all() and len(set(idx[0])) == 16 and (dist[0] == 0).all()
    assert (idx[2] == -1).all()
    counts = engine.count_neighbours(queries)
    if method in EXACT:
        assert counts.tolist() == [n, n, 0]
        assert engine.count_neighbours(queries[:1], distance_weight_factor=2.0)[0] == n
    assert len(pickle.loads(pickle.dumps(engine))) == n


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("r", [1.0, 1e20, 3e38])
def test_coordinates_at_the_float_limits(method, r):
    # Cells far beyond the i32 range saturate at its limits; 3e38 cells overflow to inf
    # at their far face.
    limits = np.array([[FMAX, FMAX, FMAX], [-FMAX, -FMAX, -FMAX], [FMAX, -FMAX, 0],
                       [np.nextafter(FMAX, 0), FMAX, FMAX], [-FMAX, 0, 1e38], [1e38, 1e38, -1e38]], F32)
    points = np.concatenate([limits, random_cloud(50, seed=53, low=-1, high=1)])
    queries = np.concatenate([points, limits * F32(0.5), random_cloud(30, seed=54, low=-1.5, high=1.5)])
    check_all_found(engine_for(points, r, method), points, queries, r, exact=method == "kdtree")


@pytest.mark.parametrize("method", ["voxel", "hybrid"])
def test_points_beyond_the_cell_range_find_themselves(method):
    points = np.array([[FMAX, FMAX, FMAX], [-FMAX, -FMAX, -FMAX], [FMAX, -FMAX, 0]], F32)
    for r in (1.0, 3e38):
        assert engine_for(points, r, method).count_neighbours(points).tolist() == [1, 1, 1]


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("r", [1e-45, 1e-40])
def test_subnormal_radius(method, r):
    # r * r is 0 in float32, so no finite distance is below it; a NaN one still is.
    points = np.concatenate([np.zeros((5, 3), F32), random_cloud(100, seed=55, low=0, high=1e-38)])
    queries = np.concatenate([points, np.array([[np.nan, 0, 0]], F32)])
    for m in (1, 3):
        engine = engine_for(points, r, method, cells_per_radius=m)
        idx, dist = engine.find_neighbours(queries, 4)
        counts = engine.count_neighbours(queries)
        assert (idx[:-1] == -1).all() and (counts[:-1] == 0).all()
        assert counts[-1] == (idx[-1] >= 0).sum() and np.isnan(dist[-1][idx[-1] >= 0]).all()


@pytest.mark.parametrize("method", METHODS)
def test_offset_table_too_large(method):
    points = random_cloud(50, seed=56)
    for m in (4000, 2**20, 2**31, 2**32 - 1):
        if method == "kdtree":  # the tree has no cells
            assert len(kesra.KesraNNSEngine(points, 1.0, method, cells_per_radius=m)) == 50
        else:
            with pytest.raises(MemoryError):
                kesra.KesraNNSEngine(points, 1.0, method, cells_per_radius=m)


@pytest.mark.parametrize("method", METHODS)
def test_results_too_large(method):
    points = random_cloud(300, seed=57, low=0, high=3)
    engine = engine_for(points, 1.0, method)
    before = engine.count_neighbours(points)
    too_wide = "result array size in bytes cannot be represented"
    for q in (0, 2, 300):
        for k in (2**62, 2**63, 2**64 - 1):
            with pytest.raises(kesra.KesraInternalError, match=too_wide):
                engine.find_neighbours(points[:q], k)
        if q:
            with pytest.raises(MemoryError):
                engine.find_neighbours(points[:q], 2**40)
        else:
            assert engine.find_neighbours(points[:0], 2**40)[0].shape == (0, 2**40)
    np.testing.assert_array_equal(engine.count_neighbours(points), before)


@pytest.mark.parametrize("method", METHODS)
def test_a_thousand_threads_and_empty_calls(method):
    points = random_cloud(2000, seed=58, low=0, high=8)
    queries = random_cloud(1000, seed=59, low=0, high=8)
    engine = engine_for(points, 1.0, method)
    for a, b in zip(engine.find_neighbours(queries, 6, 1000), engine.find_neighbours(queries, 6, 1), strict=True):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(engine.count_neighbours(queries, 1000), engine.count_neighbours(queries, 1))
    # No query rows against no points, with every option.
    empty = engine_for(np.zeros((0, 3), F32), 1.0, method)
    for k in (0, 5):
        idx, dist = empty.find_neighbours(queries[:0], k, 1000, 0.5, True)
        assert idx.shape == dist.shape == (0, k)
    assert empty.count_neighbours(queries[:0], 1000, 2.0, True).shape == (0,)


def unaligned(a):
    """A copy of `a` whose float32 values start one byte past an aligned address."""
    raw = np.zeros(a.nbytes + 1, np.uint8)
    out = raw[1:].view(F32).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


@pytest.mark.parametrize("method", METHODS)
def test_unaligned_arrays(method):
    # NumPy allows float32 arrays at any byte address; they must be read as such
    # (the sanitized build reports a misaligned read otherwise).
    points = random_cloud(500, seed=60, low=0, high=4)
    queries = random_cloud(300, seed=61, low=0, high=4)
    expected = engine_for(points, 0.7, method).find_neighbours(queries, 6)
    got = engine_for(unaligned(points), 0.7, method).find_neighbours(unaligned(queries), 6)
    for a, b in zip(got, expected, strict=True):
        np.testing.assert_array_equal(a, b)


POOL_FAILS = r"""
import os, resource, time, numpy as np, kesra
# Counted before any pool: the task thread of a finished call may still be exiting.
threads = len(os.listdir("/proc/self/task"))
points = np.random.default_rng(0).uniform(0, 3, (500, 3)).astype(np.float32)
engine = kesra.KesraNNSEngine(points, 0.5, "hybrid")
want = engine.count_neighbours(points, 1)
# Too little address space for 2000 thread stacks: the pool cannot be built.
resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
for call in (lambda: engine.count_neighbours(points, 2000), lambda: engine.find_neighbours(points, 4, 2000)):
    try:
        call()
    except kesra.KesraInternalError as err:
        print(str(err).startswith("failed to build rayon thread pool: "))
# Workers that did start are told to exit; they are not waited for.
deadline = time.monotonic() + 10
while len(os.listdir("/proc/self/task")) > threads and time.monotonic() < deadline:
    time.sleep(0.01)
print(len(os.listdir("/proc/self/task")) == threads, (engine.count_neighbours(points, 2) == want).all())
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="ASan needs its address space")
@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc/self/task")
def test_pool_that_cannot_be_built():
    proc = subprocess.run([sys.executable, "-c", POOL_FAILS], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["True"] * 4
