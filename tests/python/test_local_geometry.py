"""KesraNNS.local_geometry against a float64 NumPy/LAPACK reference over the same
neighbours: planes, lines, spheres and noise, near the origin and near 1e6, the k nearest
and every point within r, for every exact method."""

import numpy as np
import pytest

import kesra


def shapes(rng, scale):
    """A tilted plane, a line, a sphere and a noise blob, with a few lone points."""
    u = rng.uniform(-1, 1, (3000, 2))
    plane = np.c_[u, u @ [0.3, -0.2] + rng.normal(0, 1e-3, 3000)]
    line = np.outer(rng.uniform(-1, 1, 1500), [0.6, 0.0, 0.8]) + [5, 0, 0]
    sphere = rng.normal(size=(3000, 3))
    sphere = sphere / np.linalg.norm(sphere, axis=1, keepdims=True) * 2 + [0, 6, 0]
    noise = rng.uniform(-1, 1, (1500, 3)) + [5, 6, 0]
    lone = np.array([[20, 20, 20], [30, 20, 20], [30.01, 20, 20]])
    spot = np.full((3, 3), 40.0)  # no shape: no normal
    return np.concatenate([plane, line, sphere, noise, lone, spot]) * scale


def reference(points, offsets, indices):
    """Eigenvalues and normals of each row's neighbourhood, in float64 by LAPACK."""
    p = points.astype(np.float64)
    values, normals = np.full((len(offsets) - 1, 3), np.nan), np.full((len(offsets) - 1, 3), np.nan)
    for i in range(len(offsets) - 1):
        rows = indices[offsets[i]:offsets[i + 1]]
        if len(rows) >= 3:
            d = p[rows] - p[rows].mean(axis=0)
            w, v = np.linalg.eigh(d.T @ d / len(rows))
            values[i], normals[i] = w, v[:, 0]
    return values, normals


@pytest.mark.filterwarnings("ignore:float32 coordinates reach")  # on purpose, at 1e6
@pytest.mark.parametrize("scale, base", [(1.0, 0.0), (50.0, 1e6)])
@pytest.mark.parametrize("method", ["voxel", "kdtree", "hybrid"])
def test_shape_matches_lapack(method, scale, base):
    points = (shapes(np.random.default_rng(1), scale) + base).astype(np.float32)
    nns = kesra.KesraNNS(points, 0.3 * scale, method, origin=None)
    queries = np.concatenate([points[::9], points[-6:], [[np.nan, 0, 0]]]).astype(np.float32)  # 1, 2, 3, 0 neighbours
    k_nearest = nns.find_neighbours(queries, 16)[0]
    found = k_nearest >= 0
    for all_within in (False, True):
        got = nns.local_geometry(queries, 16, all_within=all_within, num_threads=2)
        if all_within:
            within = nns.find_all_neighbours(queries)
            offsets, indices = within.offsets, within.indices
        else:
            offsets, indices = np.r_[0, np.cumsum(found.sum(1))], k_nearest[found]
        np.testing.assert_array_equal(got.counts, np.diff(offsets))
        values, normals = reference(points, offsets, indices)
        shaped = np.diff(offsets) >= 3
        assert shaped.sum() > 900 and (~shaped).sum() >= 3  # lone points, and the NaN row
        assert np.isnan(got.eigenvalues[~shaped]).all() and np.isnan(got.normals[~shaped]).all()
        total = values[shaped].sum(axis=1, keepdims=True)
        np.testing.assert_allclose(got.eigenvalues[shaped], values[shaped], rtol=0, atol=1e-5 * total.max())
        assert (np.abs(got.eigenvalues[shaped] - values[shaped]) <= 1e-5 * total + 1e-30).all()
        apart = (values[shaped, 1] - values[shaped, 0]) > 1e-3 * total[:, 0]
        cosine = np.abs((got.normals[shaped] * normals[shaped]).sum(axis=1))
        assert (np.arccos(np.minimum(cosine[apart], 1)) < 1e-3).all()
        # Points at one spot or on one line (up to float32 rounding) have no normal.
        gap = values[:, 1] - values[:, 0]
        assert np.isnan(got.normals[shaped & ~(gap > 1e-7 * values[:, 2])]).all()
        clear = shaped & (gap > 1e-5 * values[:, 2])
        assert (shaped & ~clear).sum() >= (3 if scale > 1 else 100)
        np.testing.assert_allclose(np.linalg.norm(got.normals[clear], axis=1), 1, rtol=1e-6)
    # Normals turned towards a viewpoint face it.
    view = np.array([0, 0, 10 * scale]) + base
    faced = nns.local_geometry(queries[:-1], orient_towards=view)
    toward = ((view - queries[:-1].astype(np.float64)) * faced.normals).sum(axis=1)
    assert (toward[np.isfinite(toward)] >= 0).all()


def assert_same_shape(got, want, what):
    """Counts and NaN rows equal; eigenvalues within 1e-6 of their sum, normals within
    1e-5 rad up to sign: the sums differ only in their order."""
    np.testing.assert_array_equal(got.counts, want.counts, err_msg=what)
    for a, b in ((got.eigenvalues, want.eigenvalues), (got.normals, want.normals)):
        np.testing.assert_array_equal(np.isnan(a), np.isnan(b), err_msg=what)
    shaped = ~np.isnan(want.eigenvalues[:, 0])
    total = want.eigenvalues[shaped].astype(np.float64).sum(axis=1, keepdims=True)
    assert (np.abs(got.eigenvalues[shaped] - want.eigenvalues[shaped]) <= 1e-6 * total + 1e-30).all(), what
    normal = ~np.isnan(want.normals[:, 0])
    a, b = got.normals[normal].astype(np.float64), want.normals[normal].astype(np.float64)
    assert (np.arctan2(np.linalg.norm(np.cross(a, b), axis=1), np.abs((a * b).sum(axis=1))) < 1e-5).all(), what


@pytest.mark.parametrize("method", ["voxel", "kdtree", "hybrid"])
def test_scales_match_one_size_calls(method):
    """Each scale of a call with several radii or several k is the one-size call at that
    size (an engine built at each radius), for query points that are not search points,
    rows with fewer than 3 neighbours at the small scales and a NaN row; the feature
    table's columns are kesra.features of each scale."""
    rng = np.random.default_rng(4)
    lattice = np.mgrid[0:4, 0:4, 0:4].reshape(3, -1).T * 0.25 + [60, 0, 0]  # neighbours at exactly 0.25
    points = np.concatenate([shapes(rng, 1.0), lattice]).astype(np.float32)
    queries = np.concatenate([points[::5] + rng.normal(0, 0.02, (len(points[::5]), 3)), points[-70:],
                              [[np.nan, 0, 0]]]).astype(np.float32)
    nns = kesra.KesraNNS(points, 0.5, method)
    radii, ks = (0.5, 0.125, 0.25), (16, 2, 40)  # not ascending: answered in the order given
    by_radius = nns.local_geometry(queries, radii=radii, num_threads=2, orient_towards=[0, 0, 9])
    untied = np.delete(queries, np.s_[-65:-1], axis=0)  # a lattice ties at the k-th place
    by_k = nns.local_geometry(untied, ks, num_threads=2)
    assert by_radius.eigenvalues.shape == (len(queries), 3, 3) and by_k.scales == ks
    assert (by_radius.counts[:, 1] < 3).sum() > 100
    for s, (radius, k) in enumerate(zip(radii, ks)):
        one = kesra.KesraNNS(points, radius, method)
        assert_same_shape(by_radius.at(s), one.local_geometry(queries, all_within=True, orient_towards=[0, 0, 9]),
                          f"r={radius}")
        assert_same_shape(by_k.at(s), nns.local_geometry(untied, k), f"k={k}")
    table = kesra.feature_table(by_radius)
    assert len(table) == 27 and "planarity_r0.125" in table
    for s, scale in enumerate(by_radius.names()):
        for name, column in kesra.features(by_radius.at(s)).items():
            np.testing.assert_array_equal(table[f"{name}_{scale}"], column)
