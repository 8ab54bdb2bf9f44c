"""The exact methods against the float32 brute force on clouds drawn across coordinate
magnitudes, where cell coordinates round coarsely: lattices on cell faces, planes, lines,
duplicates. KESRA_EXACTNESS_EXAMPLES sets how many clouds are drawn (a longer run)."""

import os
import pickle

import numpy as np
from hypothesis import example, given, settings, strategies as st

import kesra
from brute_force import F32, brute_force, check_find

EXAMPLES = int(os.environ.get("KESRA_EXACTNESS_EXAMPLES", "150"))
OFFSETS = [0.0, 1e-30, 1.0, 1e3, 3e6, 1.6e7, 3.3e7, 1e10, 1e20, 3e38]


@st.composite
def clouds(draw):
    magnitude = draw(st.sampled_from(OFFSETS))
    offset = np.array([magnitude * draw(st.sampled_from([1, 1, -1, 0])) for _ in range(3)], F32)
    # A step of a few float spacings at the largest coordinate, so points are neighbours.
    spacing = max(np.spacing(np.abs(offset)).max(), F32(1e-30) if offset.max() < 1 else F32(1e-3))
    step = F32(spacing * draw(st.sampled_from([1, 1, 2, 7])))
    m = draw(st.integers(1, 6))
    shape = draw(st.sampled_from(["lattice", "faces", "random", "plane", "line", "duplicates"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    radius = F32(step * draw(st.sampled_from([1.0000001, 1.0812474, 1.2, 2.3688276, 3.0])))
    if shape == "faces":  # on the faces of cells of edge radius / m
        step = F32(radius / F32(m))
    grid = rng.integers(0, 4, (draw(st.integers(1, 60)), 3))
    if shape == "lattice" or shape == "faces":
        grid = np.stack(np.meshgrid(*[np.arange(3)] * 3), -1).reshape(-1, 3)
    elif shape in ("plane", "line"):
        grid[:, 2:] = 0
        if shape == "line":
            grid[:, 1] = 0
    elif shape == "duplicates":
        grid = np.repeat(grid[:5], 4, axis=0)
    with np.errstate(over="ignore"):
        points = (offset + grid.astype(F32) * step).astype(F32)
        queries = np.concatenate([points, (offset + rng.integers(-1, 5, (20, 3)) * (step / F32(2))).astype(F32)])
    points, queries = points[np.isfinite(points).all(1)], queries[np.isfinite(queries).all(1)]
    return points, queries, radius, m


@settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize="KESRA_EXACTNESS_EXAMPLES" not in os.environ)
@given(cloud=clouds(), method=st.sampled_from(["voxel", "hybrid", "kdtree", "graph"]),
       threshold=st.sampled_from([0, 2, 8, 64]), k=st.integers(1, 30), threads=st.integers(1, 3))
@example(cloud=(np.array([[16e6 + x, 16e6 + y, 16e6 + z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], F32),
                np.array([[16e6, 16e6, 16e6]], F32), F32(1.0812474), 3),
         method="voxel", threshold=64, k=8, threads=1)
# Two points within r, in cells two apart: the product rounds up to the next cell's number.
@example(cloud=(np.array([[14.657662, 0, 0], [16.48987, 0, 0]], F32), np.array([[14.657662, 0, 0]], F32),
                F32(1.8322078), 1), method="hybrid", threshold=0, k=2, threads=1)
def test_exact_at_every_magnitude(cloud, method, threshold, k, threads):
    points, queries, radius, m = cloud
    engine = kesra.KesraNNSEngine(points, radius, method, cells_per_radius=m, subtree_threshold=threshold)
    if threads == 2:  # a restored engine derives its walk from the saved state alone
        engine = pickle.loads(pickle.dumps(engine))
    ref = brute_force(points, queries, radius, k=k)
    indices, distances = engine.find_neighbours(queries, k, num_threads=threads)
    if method == "graph":  # approximate, but its first neighbour comes from an exact search
        np.testing.assert_array_equal(distances[:, 0], np.where(np.isfinite(ref.best[:, 0]),
                                                                np.sqrt(ref.best[:, 0]), F32(-1)))
        return
    check_find((indices, distances), points, queries, ref.best)
    np.testing.assert_array_equal(engine.count_neighbours(queries, num_threads=threads), ref.count)
