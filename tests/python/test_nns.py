"""kesra.nns.KesraNNS: conversions of array-likes, errors, pickling and the accessors."""

import base64
import copy
import pickle
import tracemalloc

import numpy as np
import pytest

import kesra
from kesra.nns import KesraNNS

from brute_force import random_cloud

POINTS = random_cloud(2_000, seed=5)
QUERIES = random_cloud(300, seed=6, low=-11.0, high=11.0)
RADIUS = 1.5


@pytest.fixture(scope="module")
def reference():
    engine = kesra.KesraNNSEngine(POINTS, RADIUS)
    return engine.find_neighbours(QUERIES, 8), engine.count_neighbours(QUERIES)


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("convert", [
    lambda a: a.tolist(),
    lambda a: a.astype(np.float64),
    lambda a: np.asfortranarray(a),
    lambda a: np.repeat(a, 2, axis=0)[::2],             # strided rows
    lambda a: a.astype(np.dtype(np.float32).newbyteorder()),
    read_only,
], ids=["list", "float64", "fortran", "strided", "byteswapped", "read-only"])
def test_array_likes_give_the_engine_results(reference, convert):
    (indices, distances), counts = reference
    nns = KesraNNS(convert(POINTS), RADIUS)
    found = nns.find_neighbours(convert(QUERIES), 8)
    np.testing.assert_array_equal(found[0], indices)
    np.testing.assert_array_equal(found[1], distances)
    np.testing.assert_array_equal(nns.count_neighbours(convert(QUERIES)), counts)


def test_shape_and_conversion_errors():
    with pytest.raises(ValueError, match=r"^points must have shape \(N, 3\), got \(5, 2\)$"):
        KesraNNS(np.zeros((5, 2)), 1.0)
    with pytest.raises(ValueError, match=r"^points must have shape \(N, 3\), got \(3,\)$"):
        KesraNNS([1.0, 2.0, 3.0], 1.0)
    with pytest.raises(ValueError, match="^points cannot be converted to a float32 array"):
        KesraNNS([[1, 2, 3], [1, 2]], 1.0)
    nns = KesraNNS(POINTS, RADIUS)
    with pytest.raises(ValueError, match=r"^queries must have shape \(M, 3\), got \(4, 2\)$"):
        nns.find_neighbours(np.zeros((4, 2)), 3)
    with pytest.raises(ValueError, match=r"^queries must have shape \(M, 3\), got \(2, 3, 1\)$"):
        nns.count_neighbours(np.zeros((2, 3, 1)))


def test_engine_errors_pass_unchanged():
    with pytest.raises(ValueError, match=r'^unknown method "Voxel"; expected one of \["voxel", '):
        KesraNNS(POINTS, RADIUS, "Voxel")
    with pytest.raises(ValueError, match="^radius must be a positive finite number, got -1.0$"):  # in its own words
        KesraNNS(POINTS, -1.0)
    with pytest.raises(TypeError):
        KesraNNS(POINTS, RADIUS).find_neighbours(QUERIES, 3, progress=1)


@pytest.mark.parametrize("method", kesra.available_methods())
def test_pickle_and_copies_answer_as_the_original(method):
    nns = KesraNNS(POINTS, RADIUS, method, cells_per_radius=2, subtree_threshold=8, graph_degree=6)
    expected = nns.find_neighbours(QUERIES, 5), nns.count_neighbours(QUERIES, distance_weight_factor=1.0)
    for restored in (pickle.loads(pickle.dumps(nns)), copy.copy(nns), copy.deepcopy(nns)):
        assert isinstance(restored, KesraNNS) and repr(restored) == repr(nns)
        assert restored.stats() == nns.stats()
        found = restored.find_neighbours(QUERIES, 5)
        np.testing.assert_array_equal(found[0], expected[0][0])
        np.testing.assert_array_equal(found[1], expected[0][1])
        np.testing.assert_array_equal(restored.count_neighbours(QUERIES, distance_weight_factor=1.0),
                                      expected[1])


def test_accessors():
    nns = KesraNNS(POINTS, 0.5, "hybrid", subtree_threshold=4)
    assert repr(nns) == "KesraNNS(method='hybrid', radius=0.5, points=2000)"
    assert (nns.method, nns.radius, len(nns)) == ("hybrid", 0.5, 2000)
    assert set(nns.stats()) == {"num_cells", "max_points_per_cell", "mean_points_per_cell", "num_subtrees"}
    assert KesraNNS(POINTS, 1, "kdtree").stats() is None
    assert kesra.KesraNNS is KesraNNS and isinstance(kesra.__version__, str)
    # The object is immutable: the engine's arguments are not attributes to reassign.
    with pytest.raises(AttributeError):
        nns.radius = 2.0


NNS = KesraNNS(POINTS, RADIUS)


@pytest.mark.parametrize("call, error, message", [
    (lambda: NNS.find_neighbours(QUERIES, -1), ValueError, "num_neighbours must be at least 1, got -1"),
    (lambda: NNS.count_neighbours(QUERIES, num_threads=-2), ValueError, "num_threads must be at least 0, got -2"),
    (lambda: NNS.find_all_neighbours(QUERIES, num_threads=-1), ValueError, "num_threads must be at least 0"),
    (lambda: NNS.find_neighbours(QUERIES, 2.5), TypeError, "num_neighbours must be a whole number, got 2.5"),
    (lambda: NNS.find_all_neighbours(QUERIES, progress=1), TypeError, "progress must be a bool, got int"),
    (lambda: NNS.count_neighbours(QUERIES + 1j), TypeError, "queries must be real coordinates, got complex"),
    (lambda: KesraNNS(POINTS, RADIUS, cells_per_radius=2**32), ValueError, "cells_per_radius must be at most"),
    (lambda: KesraNNS(POINTS, RADIUS, "graph", graph_degree=-1), ValueError, "graph_degree must be at least 1"),
    (lambda: KesraNNS(POINTS, RADIUS, nonfinite="skip"), ValueError, 'nonfinite must be "drop" or "keep"'),
    (lambda: kesra.suggest_radius(POINTS[:10], 10), ValueError, "need at least 11 finite points for 10 neighbours"),
    (lambda: kesra.suggest_radius(POINTS, rule="mode"), ValueError, 'rule must be "median" or "mean"'),
])
def test_argument_errors_say_what_is_allowed(call, error, message):
    with pytest.raises(error, match=f"^{message}"):
        call()


def test_single_points_and_empty_queries():
    for a, b in zip(NNS.find_neighbours(QUERIES[7], 3), NNS.find_neighbours(QUERIES[7:8], 3), strict=True):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_array_equal(NNS.count_neighbours(list(QUERIES[7])), NNS.count_neighbours(QUERIES[7:8]))
    indices, distances = NNS.find_neighbours([], 4)
    assert indices.shape == distances.shape == (0, 4) and NNS.count_neighbours([]).shape == (0,)
    assert NNS.find_all_neighbours([]).offsets.tolist() == [0]


def test_rows_left_out_are_stated_and_survive_pickling():
    points = POINTS.copy()
    points[::9, 1] = np.nan
    queries = np.concatenate([QUERIES, points[:20]])
    dropped = KesraNNS(points, RADIUS, "hybrid")
    assert repr(dropped) == "KesraNNS(method='hybrid', radius=1.5, points=2000, rows_left_out=223)"
    assert dropped.stats()["rows_left_out"] == 223 and len(dropped.engine) == 1777
    for nns in (dropped, KesraNNS(points, RADIUS, nonfinite="keep")):
        restored = pickle.loads(pickle.dumps(nns))
        assert repr(restored) == repr(nns)
        for got, want in zip((*restored.find_neighbours(queries, 6), restored.neighbour_counts(queries)),
                             (*nns.find_neighbours(queries, 6), nns.count_neighbours(queries)), strict=True):
            np.testing.assert_array_equal(got, want)
    # The engine's results are native memory: mapping their rows past the left-out ones
    # must not hold a second array of their size.
    wide = KesraNNS(points, 4 * RADIUS)
    tracemalloc.start()
    found = wide.find_all_neighbours(points[:200])
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert len(found.indices) > 20_000 and peak < len(found.indices)


@pytest.mark.parametrize("method", ["voxel", "graph"])
def test_damaged_pickles_raise_at_load_or_answer_as_the_original(method):
    points = POINTS.astype(np.float64) + 5e5
    points[::50] = np.nan
    nns = KesraNNS(points, RADIUS, method)  # rows left out, an origin: every field is held
    blob, queries = pickle.dumps(nns), QUERIES.astype(np.float64) + 5e5
    want = nns.find_neighbours(queries, 5)
    rng = np.random.default_rng(len(method))
    for place in rng.choice(len(blob), 100, replace=False):
        damaged = bytearray(blob)
        damaged[place] ^= 1 << int(rng.integers(8))
        try:
            again = pickle.loads(damaged)
        except Exception:  # noqa: BLE001  (pickle's own errors where its framing breaks)
            continue
        assert repr(again) == repr(nns)
        for got, expected in zip(again.find_neighbours(queries, 5), want, strict=True):
            np.testing.assert_array_equal(got, expected)
    # As written before the checksum: the engine itself in the state, loaded unchecked.
    state = nns.__getstate__()
    state["engine"] = nns.engine
    del state["engine_state"], state["checksum"]
    legacy = KesraNNS.__new__(KesraNNS)
    legacy.__setstate__(state)
    np.testing.assert_array_equal(legacy.find_neighbours(queries, 5)[0], want[0])


# A KesraNNS pickled before rows could be left out: 4 points, r = 1.5, "kdtree".
OLD_PICKLE = (
    "gASVkgEAAAAAAACMCWtlc3JhLm5uc5SMCEtlc3JhTk5TlJOUKYGUfZQojAZlbmdpbmWUjAVrZXNyYZSMDktlc3JhTk5TRW5naW5l"
    "lJOUKIwWbnVtcHkuX2NvcmUubXVsdGlhcnJheZSMDF9yZWNvbnN0cnVjdJSTlIwFbnVtcHmUjAduZGFycmF5lJOUSwCFlEMBYpSH"
    "lFKUKEsBSwBLA4aUaAyMBWR0eXBllJOUjAJmNJSJiIeUUpQoSwOMATyUTk5OSv////9K/////0sAdJRiiUMAlHSUYkc/+AAAAAAA"
    "AIwGa2R0cmVllEsBS0BLEHSUgZRDjwEAAAAEAAAAAAAAAAAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAIA/AAAAAAAAoEAA"
    "AKBAAACgQAQAAAAAAAAAAAAAAAEAAAACAAAAAwAAAAEAAAAAAAAAAAAAAAMAAAAABAAAAAAAwD8GAAAAAAAAAGtkdHJlZQEAAABA"
    "AAAAAAAAABAAAAAAAAAAlGKMBnJhZGl1c5RHP/gAAAAAAAB1Yi4="
)


def test_pickles_from_before_nonfinite_load_under_the_engine_rules():
    nns = pickle.loads(base64.b64decode(OLD_PICKLE))
    assert repr(nns) == "KesraNNS(method='kdtree', radius=1.5, points=4, nonfinite='keep')"
    np.testing.assert_array_equal(nns.find_neighbours([0.1, 0, 0], 3)[0], [[0, 1, 2]])


def test_suggested_radius_gives_the_median_point_its_neighbours():
    points = random_cloud(2001, seed=13)
    for wanted in (1, 12):
        radius = kesra.suggest_radius(points, wanted, sample=len(points))
        assert np.median(KesraNNS(points, radius).count_neighbours(points)) == wanted + 1
    radius = kesra.suggest_radius(points, 12, "mean")
    assert abs(KesraNNS(points, radius).count_neighbours(points).mean() - 13) <= 0.05 * 12
