"""kesra.nns.KesraNNS: conversions of array-likes, errors, pickling and the accessors."""

import copy
import pickle

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
    with pytest.raises(ValueError, match="^max_dist must be a positive finite number, got -1$"):
        KesraNNS(POINTS, -1.0)
    with pytest.raises(ValueError, match="^distance_weight_factor must be non-negative$"):
        KesraNNS(POINTS, RADIUS).count_neighbours(QUERIES, distance_weight_factor=-1.0)
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
