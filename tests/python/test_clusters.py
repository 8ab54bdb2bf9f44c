"""dbscan, the outlier flags and pairs against brute force in the engine's float32 rule."""

import numpy as np
import pytest
from scipy.sparse import csr_array
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree

import kesra
from brute_force import sq_dist

F32 = np.float32


def within(points, r):
    with np.errstate(invalid="ignore"):
        d2 = sq_dist(points[:, None, :], points[None, :, :])
    return d2, d2 < F32(r) * F32(r)


def brute_dbscan(points, r, min_samples, min_cluster_size):
    d2, near = within(points, r)
    core = near.sum(axis=1) >= min_samples
    _, sets = connected_components(csr_array(near & core[:, None] & core[None, :]), directed=False)
    member = np.where(core, sets, -1)
    for i in np.flatnonzero(~core):
        cores = np.flatnonzero(near[i] & core)
        if len(cores):  # the nearest core, equal distances by row number
            member[i] = sets[cores[np.lexsort((cores, d2[i, cores]))[0]]]
    labels, numbers = np.full(len(points), -1), {}
    sizes = np.bincount(member[member >= 0], minlength=1)
    for i, s in enumerate(member):
        if s >= 0 and sizes[s] >= min_cluster_size:
            labels[i] = numbers.setdefault(s, len(numbers))
    return labels, core


def clouds():
    rng = np.random.default_rng(5)
    lattice = np.stack(np.meshgrid(*[np.arange(6)] * 3), -1).reshape(-1, 3).astype(F32)  # pairs at exactly r
    blobs = np.concatenate([rng.normal(c, 0.4, (150, 3)) for c in (0, 4, 9)] + [rng.uniform(-5, 15, (60, 3))])
    dupes = np.repeat(rng.uniform(0, 6, (120, 3)), rng.integers(1, 4, 120), axis=0)
    return {"lattice": (lattice, 1.0), "blobs": (blobs.astype(F32), 0.8), "duplicates": (dupes.astype(F32), 1.0),
            "empty": (np.zeros((0, 3), F32), 1.0), "all noise": (lattice * 10, 1.0), "one": (lattice, 1.01)}


@pytest.mark.parametrize("method", ["voxel", "kdtree", "hybrid"])
def test_dbscan_matches_brute_force(method):
    for name, (points, r) in clouds().items():
        nns = kesra.KesraNNS(points, r, method)
        for min_samples, min_cluster_size in [(1, 1), (4, 1), (7, 1), (4, 30)]:
            labels, core = nns.dbscan(min_samples, min_cluster_size=min_cluster_size)
            expected = brute_dbscan(points, r, min_samples, min_cluster_size)
            assert labels.dtype == np.int64 and core.dtype == np.bool_, name
            np.testing.assert_array_equal(core, expected[1], err_msg=f"{name} {min_samples}")
            np.testing.assert_array_equal(labels, expected[0], err_msg=f"{name} {min_samples} {min_cluster_size}")
            # Given the cores, the same clusters; and a tile's cores from queries.
            np.testing.assert_array_equal(nns.dbscan(min_samples, min_cluster_size=min_cluster_size,
                                                     core=core).labels, labels)
            np.testing.assert_array_equal(~nns.radius_outliers(min_samples, queries=points), core)


def test_flags_match_numpy():
    points, r = clouds()["blobs"]
    points = points.copy()
    points[::37] = np.nan  # left out: noise and outliers
    finite = np.isfinite(points).all(axis=1)
    d2, near = within(points, r)
    nns = kesra.KesraNNS(points, r)
    for n in (0, 1, 6):
        np.testing.assert_array_equal(nns.radius_outliers(n), np.where(finite, near.sum(axis=1) < n, n > 0))
    k = 5
    nearest = np.sort(np.where(near, np.sqrt(np.where(near, d2, 0)), np.inf), axis=1)[:, :k + 1]
    means = np.where(np.isfinite(nearest), nearest, F32(r)).astype(float).sum(axis=1) / k
    got = nns.mean_neighbour_distances(k=k)
    np.testing.assert_allclose(got[finite], means[finite], rtol=1e-12)
    threshold = np.cumsum(got[finite])[-1] / finite.sum() + 1.5 * got[finite].std(ddof=1)
    np.testing.assert_array_equal(nns.statistical_outliers(k, 1.5), ~finite | (got > threshold))
    labels, core = nns.dbscan(3)
    assert (labels[~finite] == -1).all() and not core[~finite].any()


@pytest.mark.parametrize("method", ["voxel", "kdtree"])
def test_pairs_match_scipy(method):
    rng = np.random.default_rng(3)
    points = rng.uniform(0, 20, (3000, 3)).astype(F32)
    nns = kesra.KesraNNS(points, 1.3, method)
    chunks = list(nns.pairs(max_pairs=500))
    assert all(c.dtype == np.int64 and c.shape[1] == 2 and len(c) <= 500 for c in chunks)
    got = np.concatenate(chunks)
    expected = cKDTree(points).query_pairs(1.3, output_type="ndarray")
    assert (got[:, 0] < got[:, 1]).all() and len(got) == len(expected)
    assert set(map(tuple, got.tolist())) == set(map(tuple, expected.tolist()))
