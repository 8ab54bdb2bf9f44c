"""The approximate "graph" method: what its walk guarantees, checked against the oracle."""

import numpy as np
import pytest

import kesra
from brute_force import F32, brute_force, random_cloud, sq_dist

Engine = kesra.KesraNNSEngine


@pytest.fixture(scope="module")
def graph_cloud():
    points = np.concatenate([random_cloud(6000, seed=41, low=-6, high=6), random_cloud(20, seed=42)[:5].repeat(3, 0)])
    queries = np.concatenate([random_cloud(800, seed=43, low=-7, high=7), points[:50]])
    return points, queries, brute_force(points, queries, 1.0, k=24)


@pytest.mark.parametrize("degree", [0, 4, 16])
def test_walk_properties(graph_cloud, degree):
    points, queries, ref = graph_cloud
    engine = Engine(points, 1.0, "graph", graph_degree=degree)
    idx, dist = engine.find_neighbours(queries, 24)
    counts = engine.count_neighbours(queries)
    filled = idx >= 0
    # The entry search is exact: the first result is at the smallest distance within r.
    has = ref.count > 0
    assert (filled[:, 0] == has).all()
    np.testing.assert_array_equal(dist[has, 0], np.sqrt(ref.best[has, 0]))
    # Every reported neighbour is a real point within r at its true distance, once.
    own = np.sqrt(sq_dist(queries[:, None, :], points[np.where(filled, idx, 0)]))
    assert (own[filled] == dist[filled]).all() and (dist[filled] < 1).all()
    assert all(len(set(row[row >= 0])) == (row >= 0).sum() for row in idx)
    # Counts cover only points the walk reaches: never more than the exact count.
    assert (counts <= ref.count).all() and (counts >= has).all()
    # With k = 1 the answer is the entry point alone.
    one_idx, one_dist = engine.find_neighbours(queries, 1)
    np.testing.assert_array_equal(one_dist[:, 0], dist[:, 0])


def test_large_degree_on_a_connected_cloud_is_exact():
    points = random_cloud(1500, seed=44, low=0, high=3)
    queries = random_cloud(300, seed=45, low=0.2, high=2.8)
    ref = brute_force(points, queries, 1.0, k=10)
    engine = Engine(points, 1.0, "graph", graph_degree=400)
    idx, dist = engine.find_neighbours(queries, 10)
    np.testing.assert_array_equal(dist, np.where(np.isfinite(ref.best), np.sqrt(ref.best), F32(-1)))
    np.testing.assert_array_equal(engine.count_neighbours(queries), ref.count)


def test_points_only_reachable_through_far_points_are_missed():
    # With one slot per row: A (the entry point) and D list each other; B, within r of
    # the query, is listed only in the row of C, which lies outside r. The walk never
    # expands C, so B is neither reported nor counted.
    points = np.array([[0.3, 0, 0], [0.4, 0, 0], [0, 0.95, 0], [0.6, 1.2, 0]], F32)  # A, D, B, C
    query = np.array([[0.0, 0, 0]], F32)
    engine = Engine(points, 1.0, "graph", graph_degree=1)
    idx, _ = engine.find_neighbours(query, 4)
    assert idx[0].tolist() == [0, 1, -1, -1]
    assert engine.count_neighbours(query)[0] == 2
    assert Engine(points, 1.0).count_neighbours(query)[0] == 3


def test_empty_engine():
    engine = Engine(np.zeros((0, 3), F32), 1.0, "graph")
    idx, dist = engine.find_neighbours(random_cloud(5, seed=46), 3)
    assert (idx == -1).all() and (dist == -1).all()
    assert (engine.count_neighbours(random_cloud(5, seed=46)) == 0).all()
