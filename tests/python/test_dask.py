"""kesra.dask: chunked queries and tiled engines against one engine over the whole cloud,
on the synchronous scheduler and on a two-process LocalCluster."""

import sys
import time
import warnings

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
import cloudpickle  # noqa: E402  (a dependency of distributed)
import dask  # noqa: E402

import kesra  # noqa: E402
from brute_force import random_cloud  # noqa: E402
from kesra import dask as kd  # noqa: E402

# The workers cannot import this file: ship its functions by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])

R, TILE, K = 1.0, 5.0, 12
EXACT = ["voxel", "kdtree", "hybrid"]


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as c:
        yield c


@pytest.fixture(params=["sync", "distributed"])
def scheduler(request, cluster):
    if request.param == "sync":
        with dask.config.set(scheduler="sync"):
            yield None
    else:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture(scope="module")
def data():
    """A cloud with an empty slab (whole empty tiles) and non-finite rows; queries on and
    just beside tile borders, outside the cloud, in the slab, and non-finite."""
    points = random_cloud(8000, seed=3)
    points = points[(points[:, 0] < -4) | (points[:, 0] > 6)]
    points[::401] = np.nan
    points[7, 1] = np.inf
    queries = random_cloud(1500, seed=4, low=-11, high=11)
    low = np.nanmin(np.where(np.isfinite(points), points, np.nan), axis=0)
    border = low[0] + TILE
    queries[:200, 0] = np.array([border, np.nextafter(border, -np.inf, dtype=np.float32),
                                 np.nextafter(border, np.inf, dtype=np.float32), border + R / 2], np.float32)[
        np.arange(200) % 4]
    queries[:100, 1:] *= 0.8  # keeps the points added below inside the cloud's bounds
    queries[200:260] = np.nan
    queries[260:270, 2] = -np.inf
    # Neighbours just inside the radius across the border, on both sides.
    step = np.float32(R * (1 - 2e-6)) * np.where(np.arange(100) % 2, 1, -1).astype(np.float32)
    points = np.concatenate([points, queries[:100] + np.outer(step, [1, 0, 0]).astype(np.float32)])
    finite = np.isfinite(points).all(axis=1)
    return points, queries, finite


def assert_same_neighbours(got, want):
    """Same distances slot by slot, and the same points except where tied at the k-th place
    (tied points may come in any order)."""
    (gi, gd), (wi, wd) = got, want
    np.testing.assert_array_equal(gd, wd)
    certain = ~((wd[:, -1:] >= 0) & (wd == wd[:, -1:]))
    np.testing.assert_array_equal(np.sort(np.where(certain, gi, -2), axis=1),
                                  np.sort(np.where(certain, wi, -2), axis=1))


def reference(points, finite, queries, method, **kw):
    """One engine over the finite rows, answering with row numbers of `points`; non-finite
    query rows get nothing."""
    engine = kesra.KesraNNSEngine(points[finite], R, method, **kw)
    rows = np.flatnonzero(finite)
    idx, dist = engine.find_neighbours(queries, K)
    idx = np.where(idx >= 0, rows[idx], -1).astype(np.int32)
    bad = ~np.isfinite(queries).all(axis=1)
    idx[bad], dist[bad] = -1, -1
    counts = engine.count_neighbours(queries)
    weighted = engine.count_neighbours(queries, distance_weight_factor=2.0)
    counts[bad] = weighted[bad] = 0
    return (idx, dist), counts, weighted


@pytest.mark.parametrize("method", ["voxel", "kdtree", "hybrid", "graph"])
def test_chunked_queries_answer_as_the_engine(scheduler, data, method):
    points, queries, _ = data
    nns = kesra.KesraNNS(points, R, method)
    q = da.from_array(queries, chunks=400)
    idx, dist = kd.find_neighbours(nns, q, K)
    counts = kd.count_neighbours(nns.engine, q, distance_weight_factor=1.5)
    assert idx.chunks == ((400, 400, 400, 300), (K,)) and counts.chunks == ((400, 400, 400, 300),)
    got = dask.compute(idx, dist, counts)
    # Each answers as the object given: the bare engine holds the finite rows only.
    want = (*nns.find_neighbours(queries, K), nns.engine.count_neighbours(queries, distance_weight_factor=1.5))
    for g, w in zip(got, want, strict=True):
        assert g.dtype == w.dtype
        np.testing.assert_array_equal(g, w)


@pytest.mark.parametrize("method, tile", [*((m, TILE) for m in EXACT), ("voxel", (TILE, TILE, np.inf)), ("kdtree", R)])
def test_tiled_engine_matches_one_engine(scheduler, data, method, tile):
    """Tiles bundled several to a task; tiles of the radius are warned about (their
    halos hold every point 27 times) and answer all the same."""
    points, queries, finite = data
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tiled = kd.TiledEngine.build(da.from_array(points, chunks=1500), R, tile, method, subtree_threshold=4,
                                     points_per_task=1000)
    assert [w.category for w in caught] == ([kd.TilingWarning] if tile == R else [])
    if tile == TILE:
        assert 0 < tiled.num_tiles < 4**3  # the slab leaves whole tiles empty
    # float64 rows just below a tile border that round onto it in float32
    below = queries.astype(np.float64)
    below[:200:4, 0] -= 1e-9
    assert np.array_equal(below.astype(np.float32), queries, equal_nan=True)
    q = da.concatenate([da.from_array(below[:1]), da.from_array(below[1:], chunks=500)])  # row 0 alone
    got_find = dask.compute(*tiled.find_neighbours(q, K))
    got_counts, got_weighted = dask.compute(kd.count_neighbours(tiled, q),
                                            kd.count_neighbours(tiled, q, distance_weight_factor=2.0))
    want_find, want_counts, want_weighted = reference(points, finite, queries, method, subtree_threshold=4)
    assert got_find[0].dtype == np.int32 and got_counts.dtype == np.float32
    assert_same_neighbours(got_find, want_find)
    np.testing.assert_array_equal(got_counts, want_counts)
    np.testing.assert_allclose(got_weighted, want_weighted, rtol=1e-5)
    assert (got_counts[200:270] == 0).all() and (got_find[0][200:270] == -1).all()


def test_find_all_neighbours_per_chunk(scheduler, data):
    points, queries, _ = data
    nns = kesra.KesraNNS(points, R, "hybrid")
    want = nns.find_all_neighbours(queries)
    rows = np.repeat(np.arange(len(queries)), np.diff(want.offsets))
    q = da.from_array(queries, chunks=400)
    tiled = kd.TiledEngine.build(da.from_array(points, chunks=1500), R, TILE, "hybrid")
    for lazy in (kd.find_all_neighbours(nns, q), kd.find_all_neighbours(tiled, q)):
        got = kesra.AllNeighbours(*dask.compute(*lazy))
        assert (got.offsets.dtype, got.indices.dtype) == (np.int64, np.int32)
        np.testing.assert_array_equal(got.offsets, want.offsets)
        np.testing.assert_array_equal(got.distances, want.distances)
        # Tiles may list points at equal distances in another order.
        order = [np.lexsort((r.indices, r.distances, rows)) for r in (got, want)]
        np.testing.assert_array_equal(got.indices[order[0]], want.indices[order[1]])


def test_tiled_graph_finds_the_exact_nearest(data):
    points, queries, finite = data
    with dask.config.set(scheduler="sync"):
        tiled = kd.TiledEngine.build(da.from_array(points, chunks=3000), R, TILE, "graph", graph_degree=8)
        idx, dist = dask.compute(*kd.find_neighbours(tiled, da.from_array(queries, chunks=700), K))
    (_, want), _, _ = reference(points, finite, queries, "voxel")
    np.testing.assert_array_equal(dist[:, 0], want[:, 0])
    assert set(idx[idx >= 0].tolist()) <= set(np.flatnonzero(finite).tolist())


def test_bad_arguments_fail_before_any_work(data):
    points = da.from_array(data[0], chunks=1000)
    with pytest.raises(ValueError, match="radius must be a positive finite number"):
        kd.TiledEngine.build(points, -1.0, TILE)
    with pytest.raises(ValueError, match="tile_size must be positive"):
        kd.TiledEngine.build(points, R, (TILE, 0, TILE))
    with pytest.raises(ValueError, match=r"tile_size must be one number or three \(one per axis\), got \(1, 1\)"):
        kd.TiledEngine.build(points, R, (1, 1))
    nns = kesra.KesraNNS(data[0], R)
    with pytest.raises(ValueError, match="num_threads must be at most"):
        kd.find_neighbours(nns, np.zeros((4, 3)), K, num_threads=10**6)
    with pytest.raises(ValueError, match=r"queries must have shape \(M, 3\)"):
        kd.count_neighbours(nns, np.zeros((4, 2)))
    with pytest.raises(ValueError, match="distance_weight_factor must be a non-negative number"):
        kd.count_neighbours(nns, np.zeros((4, 3)), distance_weight_factor=-1.0)


@pytest.mark.skipif(getattr(sys, "_is_gil_enabled", lambda: True)(),
                    reason="needs a free-threaded interpreter: the profiler is only turned off without the GIL")
def test_frame_sampling_profiler_is_off_without_the_gil(cluster):
    """It reads running threads' frames, which crashes free-threaded processes."""
    with distributed.Client(cluster) as client:
        assert set(client.run(dask.config.get, "distributed.worker.profile.enabled").values()) == {False}
    assert dask.config.get("distributed.worker.profile.enabled") is False


def slow(block):
    time.sleep(0.1)
    return block


def test_worker_restarted_mid_computation(cluster, data):
    """Restarting the workers loses the tile engines, the shipped engine and the results
    so far; Dask rebuilds and resends them, and the answers stay right."""
    points, queries, finite = data
    with distributed.Client(cluster) as client:
        tiled = kd.TiledEngine.build(da.from_array(points, chunks=1500), R, TILE, "kdtree")
        engine = kesra.KesraNNSEngine(points, R, "kdtree")
        q = da.from_array(queries, chunks=100).map_blocks(slow)
        futures = client.compute([*tiled.find_neighbours(q, K), *kd.find_neighbours(engine, q, K)])
        time.sleep(0.6)
        assert not all(f.done() for f in futures)
        client.restart_workers(list(client.scheduler_info()["workers"]))
        tiled_find, plain_idx, plain_dist = client.gather(futures[:2]), *client.gather(futures[2:])
    assert_same_neighbours(tiled_find, reference(points, finite, queries, "kdtree")[0])
    want = engine.find_neighbours(queries, K)
    np.testing.assert_array_equal(plain_idx, want[0])
    np.testing.assert_array_equal(plain_dist, want[1])
