"""method="auto": the choice per kind of cloud, answers equal to the chosen method's, and a
choice that survives pickling."""

import pickle

import numpy as np
import pytest

import kesra


def cloud(shape):
    rng = np.random.default_rng(3)
    if shape == "even":
        return rng.uniform(0, 10, (20_000, 3)).astype(np.float32)
    if shape == "crowded":  # a few dense blobs: most points share their cell with hundreds
        return (rng.normal(size=(20_000, 3)) * 0.3 + rng.integers(0, 4, (20_000, 1)) * 5).astype(np.float32)
    if shape == "sparse":  # most points alone in their cells, beside one dense blob
        return np.concatenate([rng.uniform(0, 400, (14_000, 3)), rng.normal(size=(6_000, 3))]).astype(np.float32)
    return rng.uniform(0, 10, (3_000, 3)).astype(np.float32)  # small


@pytest.mark.parametrize("shape, chosen", [("even", "voxel"), ("crowded", "kdtree"), ("sparse", "kdtree"),
                                           ("small", "kdtree")])
def test_auto_answers_as_the_method_it_chose(shape, chosen):
    points = cloud(shape)
    nns = kesra.KesraNNS(points, 0.7)
    assert nns.method == chosen and nns.method_choice.method == chosen
    assert "auto chose" in repr(nns)
    explicit = kesra.KesraNNS(points, 0.7, chosen)
    restored = pickle.loads(pickle.dumps(nns))
    assert restored.method_choice == nns.method_choice and repr(restored) == repr(nns)
    queries = points[::7]
    want = explicit.find_neighbours(queries, 16), explicit.count_neighbours(queries)
    for got in (nns, restored):
        for a, b in zip((*got.find_neighbours(queries, 16), got.count_neighbours(queries)), (*want[0], want[1])):
            assert a.tobytes() == b.tobytes()
