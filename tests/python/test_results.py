"""Answers of the exact engines against the brute-force oracle, and their properties."""

import os
from pathlib import Path

import numpy as np
import pytest

import kesra
from brute_force import F32, brute_force, check_find, check_sums, random_cloud, sphere_cloud, sq_dist

NAN = np.nan
EXACT = ["voxel", "kdtree", "hybrid"]
each_method = pytest.mark.parametrize("method", EXACT)


def Engine(points, r, method="voxel", **kwargs):
    # A low threshold gives the hybrid grid subtrees in most cells of these small clouds.
    if method == "hybrid":
        kwargs.setdefault("subtree_threshold", 3)
    return kesra.KesraNNSEngine(points, r, method, **kwargs)


@pytest.mark.parametrize("method, m", [("voxel", 0), ("voxel", 1), ("voxel", 2), ("voxel", 3), ("kdtree", 1),
                                       ("hybrid", 1), ("hybrid", 2)])
def test_matches_brute_force(cloud, method, m):
    points, queries, ref = cloud
    engine = Engine(points, 1.0, method, cells_per_radius=m)
    for k in (1, 8, 40):
        check_find(engine.find_neighbours(queries, k), points, queries, ref.best[:, :k])
    counts = engine.count_neighbours(queries)
    np.testing.assert_array_equal(counts, ref.count)
    np.testing.assert_array_equal(engine.count_neighbours(queries, 0, 0.0), counts)
    for p in (1.0, 2.5):
        check_sums(engine.count_neighbours(queries, 0, p), ref.sums[p], ref.count)


@pytest.mark.parametrize("method", ["voxel", "kdtree", "hybrid", "graph"])
def test_rows_ascend_by_squared_distance(method):
    # Squared distances one unit in the last place apart, sharing one square root: the
    # nearer must come first whatever the row numbers, in k-nearest and sorted rows alike.
    queries = random_cloud(40, seed=61, low=-3, high=3)
    points = sphere_cloud(queries, 4000, 0.5, seed=62)
    ref = brute_force(points, queries, 1.0, k=300)
    b = ref.best
    assert ((np.sqrt(b[:, 1:]) == np.sqrt(b[:, :-1])) & (b[:, 1:] > b[:, :-1])).sum() > 50
    engine = Engine(points, 1.0, method)
    if method != "graph":
        check_find(engine.find_neighbours(queries, 300), points, queries, b)
    offsets, idx, dist = engine.find_all_neighbours(queries)
    rows = np.repeat(np.arange(len(queries)), np.diff(offsets))
    d2 = sq_dist(queries[rows], points[idx])
    assert (np.lexsort((idx, d2, rows)) == np.arange(len(idx))).all()


@each_method
@pytest.mark.parametrize("r, m, q", [
    (0.1, 1, (0.0, 0.0, 0.0)), (0.5, 3, (3.25, -2.5, 0.75)), (2.0, 2, (-1.0, 4.0, -0.5))])
def test_points_at_exactly_r(method, r, m, q):
    # Six points at exactly r along the axes (r*r is formed from the float32 radius), six
    # just inside, one on a diagonal and one identical to the query.
    q = np.array([q], F32)
    steps = np.concatenate([np.eye(3), -np.eye(3)]).astype(F32) * F32(r)
    points = np.concatenate([q + steps, q + steps * F32(0.9375), q + F32(r / 2), q])
    assert (sq_dist(q, points[:6]) == F32(r) * F32(r)).all()
    engine = Engine(points, r, method, cells_per_radius=m)
    idx, dist = engine.find_neighbours(q, 20)
    assert sorted(idx[0, :8]) == list(range(6, 14)) and dist[0, 0] == 0
    ref = brute_force(points, q, r, k=20, weights=(1.0,))
    check_find((idx, dist), points, q, ref.best)
    assert engine.count_neighbours(q)[0] == 8
    check_sums(engine.count_neighbours(q, distance_weight_factor=1.0), ref.sums[1.0], 8)


@each_method
@pytest.mark.parametrize("r, m", [(1.0, 2), (0.5, 3)])
def test_lattice(method, r, m):
    # Points on cell faces, duplicates, and many equal distances, also at the k-th place.
    g = np.arange(-1.5, 1.5001, 0.25, dtype=F32)
    points = np.stack(np.meshgrid(g, g, g, indexing="ij"), -1).reshape(-1, 3)
    points = np.concatenate([points, points[::40]])
    queries = np.concatenate([points[::7], points[::11] + F32(0.125)])
    engine = Engine(points, r, method, cells_per_radius=m)
    ref = brute_force(points, queries, r, k=33)
    for k in (7, 33):
        check_find(engine.find_neighbours(queries, k), points, queries, ref.best[:, :k])
    np.testing.assert_array_equal(engine.count_neighbours(queries), ref.count)


@each_method
def test_empty_inputs(cloud, method):
    points, queries, _ = cloud
    empty = Engine(np.zeros((0, 3), F32), 1.0, method, cells_per_radius=2)
    idx, dist = empty.find_neighbours(queries[:300], 4)
    assert idx.shape == (300, 4) and (idx == -1).all() and (dist == -1).all()
    assert (empty.count_neighbours(queries[:300], distance_weight_factor=2.0) == 0).all()
    few, near = random_cloud(5, 24, 0, 0.3), random_cloud(10, 25, -0.5, 0.8)
    ref = brute_force(few, near, 1.0, k=12)
    check_find(Engine(few, 1.0, method).find_neighbours(near, 12), few, near, ref.best)
    assert ref.count.max() == 5
    engine = Engine(points, 1.0, method)
    for q, k in [(0, 5), (7, 0)]:
        idx, dist = engine.find_neighbours(queries[:q], k)
        assert idx.shape == dist.shape == (q, k)
        assert (idx.dtype, dist.dtype) == (np.int32, F32)
        assert engine.count_neighbours(queries[:q]).shape == (q,)


def layouts(a):
    """The same values in other memory layouts, read-only."""
    wide = np.zeros((2 * len(a), 7), F32)
    wide[::2, 2:5] = a
    views = {"fortran": np.asfortranarray(a), "strided": wide[::2, 2:5],
             "negative rows": a[::-1].copy()[::-1], "negative columns": a[:, ::-1].copy()[:, ::-1]}
    for v in views.values():
        v.flags.writeable = False
    return views


@each_method
def test_memory_layouts_and_inputs_untouched(cloud, method):
    points, queries = cloud[0][:5000].copy(), cloud[1][:1000].copy()
    base = Engine(points, 1.0, method)
    expected = (*base.find_neighbours(queries, 9), base.count_neighbours(queries, 0, 2.5))
    for name, view in layouts(queries).items():
        got = (*base.find_neighbours(view, 9), base.count_neighbours(view, 0, 2.5))
        for a, b in zip(got, expected):
            np.testing.assert_array_equal(a, b, err_msg=name)
        np.testing.assert_array_equal(view, queries, err_msg=name)
    for name, view in layouts(points).items():
        engine = Engine(view, 1.0, method)
        for a, b in zip(engine.find_neighbours(queries, 9), expected):
            np.testing.assert_array_equal(a, b, err_msg=name)
        np.testing.assert_array_equal(view, points, err_msg=name)
    # The engine keeps its own copy of the points.
    points[:] = 1e6
    np.testing.assert_array_equal(base.find_neighbours(queries, 9)[1], expected[1])


def test_outputs_are_new_arrays(cloud):
    engine = Engine(cloud[0], 1.0)
    queries = cloud[1][:300]
    first, second = engine.find_neighbours(queries, 4), engine.find_neighbours(queries, 4)
    counts = engine.count_neighbours(queries)
    assert type(first) is tuple and len(first) == 2
    for a in (*first, counts):
        assert type(a) is np.ndarray and a.flags.c_contiguous and a.flags.writeable
    assert not any(np.shares_memory(a, b) for a, b in zip(first, second))
    first[0][:] = 7
    counts[:] = 7
    np.testing.assert_array_equal(engine.find_neighbours(queries, 4)[0], second[0])
    assert (engine.count_neighbours(queries) != 7).any()


@each_method
@pytest.mark.parametrize("eps", [2.0, 0.6])
def test_epsilon_early_stop(cloud, method, eps):
    points, queries, ref = cloud
    engine, k = Engine(points, 1.0, method), 4
    exact = engine.find_neighbours(queries, k)
    idx, dist = engine.find_neighbours(queries, k, epsilon=eps)
    # Only epsilon squared is used; zero and NaN never stop a search.
    for a, b in zip(engine.find_neighbours(queries, k, epsilon=-eps), (idx, dist)):
        np.testing.assert_array_equal(a, b)
    for e in (0.0, NAN):
        np.testing.assert_array_equal(engine.find_neighbours(queries, k, epsilon=e)[1], exact[1])
    # Every row holds as many neighbours within r as the exact answer, each with its own
    # distance, ascending. A row with fewer than k points closer than epsilon cannot stop.
    filled = idx >= 0
    assert (filled == (exact[0] >= 0)).all() and (np.diff(dist)[filled[:, 1:]] >= 0).all()
    own = np.sqrt(sq_dist(queries[:, None, :], points[np.where(filled, idx, 0)]))
    assert (own[filled] == dist[filled]).all() and (dist[filled] < 1).all()
    close = (ref.count if eps >= 1 else brute_force(points, queries, eps).count) >= k
    np.testing.assert_array_equal(dist[~close], exact[1][~close])
    assert (dist[close] < F32(eps)).all() and (dist[close] != exact[1][close]).any()


NAN_QUERIES = np.array([[NAN, NAN, NAN], [NAN, 0.3, 0.2], [5.0, 5.0, NAN], [NAN, NAN, 9.5]], F32)


@pytest.mark.parametrize("m", [1, 2])
def test_nan_rows(cloud, m):
    points = cloud[0][:8000].copy()
    nan_rows = np.random.default_rng(m).choice(len(points), 30, replace=False)
    points[nan_rows] = [[NAN, NAN, NAN]] * 20 + [[NAN, 0.5, 0.5]] * 5 + [[2.5, NAN, NAN]] * 5
    queries = np.concatenate([cloud[1][:1000], random_cloud(300, 3, -1.5, 2.5), NAN_QUERIES])
    engine, k = Engine(points, 1.0, cells_per_radius=m), 64
    idx, dist = engine.find_neighbours(queries, k)
    counts = engine.count_neighbours(queries)
    weighted = engine.count_neighbours(queries, distance_weight_factor=2.0)
    filled = idx >= 0
    assert not filled[:, -1].any()
    np.testing.assert_array_equal(counts, filled.sum(axis=1))
    # A NaN distance is accepted: NaN search points are found wherever their cell is
    # visited, and their distances are NaN; the finite answer is unchanged.
    finite = slice(0, -len(NAN_QUERIES))
    seen = np.isin(idx, nan_rows)
    assert seen[finite].any() and np.isnan(dist[seen]).all()
    ref = brute_force(points, queries[finite], 1.0, k=k)
    got = np.sort(np.where(filled & ~seen, dist, np.inf)[finite], axis=1)
    np.testing.assert_array_equal(got, np.sqrt(ref.best))
    # A NaN query coordinate gives cell 0 and no gap on that axis: every distance is NaN.
    nan_q = slice(-len(NAN_QUERIES), None)
    assert (counts[nan_q] > 0).all() and np.isnan(weighted[nan_q]).all()
    assert np.isnan(dist[nan_q][filled[nan_q]]).all()
    # The all-NaN query scans every cell within m of cell (0, 0, 0).
    cells = np.nan_to_num(np.floor(points * F32(m)), nan=0)
    assert counts[-len(NAN_QUERIES)] == (np.abs(cells) <= m).all(axis=1).sum()


@each_method
def test_extreme_coordinates(method):
    # The last rows put cells at both i32 limits into one column, so walks from one
    # limit wrap around to the other.
    big = np.array([[1e30, 1e30, 1e30], [-1e30, -1e30, -1e30], [3e9, 0, 0], [-3e9, 1, 1],
                    [2e8, 0, 0], [3e38, 3e38, 0], [np.inf, 0, 0], [-np.inf, 0.5, 0.5],
                    [0, 0, 3e38], [0, 0, -3e38], [0, 0, np.inf], [0.5, 0.5, -np.inf]], F32)
    points = np.concatenate([big, random_cloud(200, seed=29, low=-2, high=2)])
    queries = np.concatenate([big, big + F32(0.5), random_cloud(100, seed=30, low=-2, high=2)])
    n = 2 * len(big)
    ref = brute_force(points, queries[n:], 1.0, k=6)
    for m in (1, 3):
        engine = Engine(points, 1.0, method, cells_per_radius=m)
        idx, dist = engine.find_neighbours(queries, 6)
        counts = engine.count_neighbours(queries)
        check_find((idx[n:], dist[n:]), points, queries[n:], ref.best)
        np.testing.assert_array_equal(counts[n:], ref.count)
        # A large cell that does not saturate is searched like any other.
        assert idx[4].tolist() == [4] + [-1] * 5 and counts[4] == 1
        assert (counts[:n] == (idx[:n] >= 0).sum(axis=1)).all()


# Radius giving about 30 neighbours per point on average, and the cells per radius.
CLOUDS = {"bun0": (0.005, 2), "rs22_proc2": (2.0, 1),
          "table_scene_mug_stereo_textured": (0.0039, 2), "lamppost": (0.09, 3)}
DATA = Path(os.environ.get("KESRA_DATA_DIR") or Path(__file__).resolve().parents[3] / "shared/data")


@each_method
@pytest.mark.parametrize("name", CLOUDS)
def test_real_cloud(method, name):
    if not (DATA / f"{name}.npy").exists():
        pytest.skip(f"{DATA} has no {name}.npy (set KESRA_DATA_DIR)")
    points, (r, m) = np.load(DATA / f"{name}.npy"), CLOUDS[name]
    rng = np.random.default_rng(0)
    rows = points[rng.choice(len(points), 300, replace=False)]
    queries = np.concatenate([rows, rows[:100] + rng.uniform(-r, r, (100, 3)).astype(F32)])
    engine = Engine(points, r, method, cells_per_radius=m)
    idx, dist = engine.find_neighbours(queries, 32)
    counts = engine.count_neighbours(queries)
    weighted = engine.count_neighbours(queries, distance_weight_factor=2.0)
    finite = np.isfinite(queries).all(axis=1)
    nan_points = np.isnan(points).any(axis=1)
    ref = brute_force(points[~nan_points], queries[finite], r, k=32, weights=(2.0,))
    assert 10 < ref.count.mean() < 100
    if method == "kdtree" and nan_points.any():
        # NaN distances are accepted, and NaN points (and NaN split values) sit among the
        # scene's leaves, so finite queries meet them too: counts only grow.
        assert (counts[finite] >= ref.count).all() and np.isnan(dist[finite]).any()
        assert (counts[~finite] == len(points)).all()
        return
    check_find((idx[finite], dist[finite]), points, queries[finite], ref.best)
    np.testing.assert_array_equal(counts[finite], ref.count)
    check_sums(weighted[finite], ref.sums[2.0], ref.count)
    # The scanner's invalid pixels are all-NaN rows, and every distance from such a query
    # is NaN. The grids only visit cells near (0, 0, 0), far from the scene, where the NaN
    # points are; the tree cannot prune on NaN and meets every point.
    if method != "kdtree":
        assert (counts[~finite] == nan_points.sum()).all()
        assert np.isin(idx[~finite], np.flatnonzero(nan_points)).all()
    else:
        assert (counts[~finite] == len(points)).all()
    assert np.isnan(dist[~finite]).all() and np.isnan(weighted[~finite]).all()


@pytest.mark.parametrize("method", ["voxel", "hybrid"])
def test_plain_counts_walk_by_column_like_the_offset_walk(method):
    # Plain counts visit cells column by column; weights of 1 (exponent 0) take the
    # walk in offset order. Both must count the same cells, NaN and limit cells included.
    points = np.concatenate([random_cloud(4000, seed=41, low=-3, high=3),
                             np.array([[np.nan, 0, 0], [0, 0, 3e38], [0, 0, -np.inf]], F32)])
    points[100:160] = points[99]  # a crowded cell
    queries = np.concatenate([random_cloud(1500, seed=42, low=-3.5, high=3.5), points[95:]])
    for m in (1, 2, 3):
        engine = Engine(points, 0.45, method, cells_per_radius=m, subtree_threshold=20)
        np.testing.assert_array_equal(engine.count_neighbours(queries),
                                      engine.count_neighbours(queries, distance_weight_factor=0.0))


@pytest.mark.parametrize("method", ["voxel", "kdtree", "hybrid", "graph"])
def test_answers_do_not_depend_on_the_order_or_number_of_rows(method):
    # Larger calls may visit their rows in spatial order; every row must still get the
    # answer it gets alone, in any order, in small calls, and with NaN rows among them.
    points = random_cloud(3000, seed=43, low=-4, high=4)
    points[200:240] = points[199]  # ties
    queries = np.concatenate([random_cloud(2500, seed=44, low=-4.5, high=4.5), points[::5],
                              np.array([[np.nan, 0, 0], [np.inf, 1, 1], [0, 0, -3e38]], F32)])
    engine = kesra.KesraNNSEngine(points, 0.6, method)
    shuffled = np.random.default_rng(45).permutation(len(queries))
    one_by_one = [engine.find_neighbours(queries[i:i + 300], 12) for i in range(0, len(queries), 300)]
    idx, dist = (np.concatenate(parts) for parts in zip(*one_by_one))
    for order in (np.arange(len(queries)), shuffled, np.argsort(queries[:, 0], kind="stable")):
        got_idx, got_dist = engine.find_neighbours(np.ascontiguousarray(queries[order]), 12)
        np.testing.assert_array_equal(got_idx, idx[order])
        np.testing.assert_array_equal(got_dist, dist[order])
        for weight in (None, 1.5):
            np.testing.assert_array_equal(engine.count_neighbours(queries[order], distance_weight_factor=weight),
                                          np.concatenate([engine.count_neighbours(queries[order][i:i + 300],
                                                                                  distance_weight_factor=weight)
                                                          for i in range(0, len(queries), 300)]))


def test_counts_over_more_rows_than_one_ordering_window():
    # Rows are put in order a window of 2^20 rows at a time.
    points = random_cloud(2000, seed=46, low=-3, high=3)
    queries = np.tile(random_cloud(2000, seed=47, low=-3.5, high=3.5), (530, 1))
    engine = kesra.KesraNNSEngine(points, 0.5, "voxel")
    counts = engine.count_neighbours(queries)
    np.testing.assert_array_equal(counts, np.tile(counts[:2000], 530))
