"""KesraNNS.find_all_neighbours against the float32 brute force and against the engine's
own queries, and the bounds on what it holds while it works."""

import os
from pathlib import Path

import numpy as np
import pytest

import kesra
from kesra import all_neighbours

from brute_force import random_cloud, sq_dist

DATA = Path(os.environ.get("KESRA_DATA_DIR") or Path(__file__).resolve().parents[3] / "shared/data")


def assert_pairs(result, rows, indices, distances, which=None):
    """`result` is laid out right and holds exactly these (row, index, distance) triples,
    in any order within a row; with `which`, rows index `which` and only those rows of
    `result` are compared."""
    offsets = result.offsets
    assert (offsets.dtype, result.indices.dtype, result.distances.dtype) == (np.int64, np.int32, np.float32)
    assert offsets[0] == 0 and len(result.indices) == len(result.distances) == offsets[-1]
    got_rows = np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
    d = result.distances
    assert ((d[1:] >= d[:-1]) | (got_rows[1:] != got_rows[:-1]) | np.isnan(d[1:])).all(), "not nearest first"
    kept = np.ones(len(got_rows), bool) if which is None else np.isin(got_rows, which)
    rows = rows if which is None else which[rows]
    got = (got_rows[kept], result.indices[kept], d[kept])
    for g, w in zip(got, (rows, indices, distances), strict=True):
        np.testing.assert_array_equal(g[np.lexsort(got[1::-1])], w[np.lexsort((indices, rows))])


@pytest.fixture(scope="module")
def crowded():
    """A cloud with a ball of 12,000 points of radius 0.5, NaN and infinite rows; queries
    at its centre, beside it, far away (no neighbour), and non-finite."""
    rng = np.random.default_rng(7)
    ball = rng.normal(size=(12_000, 3)).astype(np.float32)
    ball *= np.float32(0.5) * rng.random((12_000, 1), np.float32) / np.linalg.norm(ball, axis=1, keepdims=True)
    points = np.concatenate([random_cloud(3000, seed=8), ball + np.float32(20)])
    points[::97] = np.nan
    points[5, 2] = np.inf
    queries = np.concatenate([random_cloud(400, seed=9, low=-12, high=12), points[-40:],
                              [[20, 20, 20], [1e6, 0, 0], [np.nan, 0, 0], [0, -np.inf, 0]]]).astype(np.float32)
    return points, queries


@pytest.mark.parametrize("nonfinite", ["drop", "keep"])
@pytest.mark.parametrize("method", kesra.available_methods())
def test_every_neighbour_counted_at_the_distances_found(crowded, method, nonfinite):
    points, queries = crowded
    nns = kesra.KesraNNS(points, 1.0, method, nonfinite=nonfinite)
    result = nns.find_all_neighbours(queries, num_threads=2)
    counts = nns.count_neighbours(queries)
    np.testing.assert_array_equal(np.diff(result.offsets), counts)
    indices, distances = nns.find_neighbours(queries, int(counts.max()))
    found = indices >= 0
    assert_pairs(result, np.nonzero(found)[0], indices[found], distances[found])
    if nonfinite == "drop" and method != "graph":
        with np.errstate(invalid="ignore"):
            d2 = sq_dist(queries[:, None, :], points[None, :, :])
        rows, columns = np.nonzero(d2 < np.float32(1.0))  # NaN rows and columns are never within
        assert_pairs(result, rows, columns, np.sqrt(d2[rows, columns]))
        assert counts.max() > 10_000 and (counts == 0).sum() >= 3
        # Stored zeros (each query that is a search point) stay entries of the sparse array.
        assert result.to_csr(len(nns)).nnz == len(result.indices)
    empty = nns.find_all_neighbours(np.zeros((0, 3), np.float32), progress=True)
    assert empty.offsets.tolist() == [0] and len(empty.indices) == len(empty.distances) == 0


class Recording:
    """Counts stop at `limit`, as float32 counts at 2**24; find calls are recorded."""

    def __init__(self, engine, limit):
        self.engine, self.limit, self.calls = engine, limit, []

    def count_neighbours(self, queries, *, num_threads):
        return np.minimum(self.engine.count_neighbours(queries, num_threads=num_threads), self.limit)

    def find_neighbours(self, queries, k, *, num_threads):
        indices, distances = self.engine.find_neighbours(queries, k, num_threads=num_threads)
        self.calls.append((len(queries), k, np.count_nonzero(indices >= 0)))
        return indices, distances


def test_saturated_counts_and_bounded_temporaries(crowded, monkeypatch):
    points, queries = crowded
    engine = kesra.KesraNNS(points, 1.0).engine
    queries = queries[np.isfinite(queries).all(axis=1)]
    expected = all_neighbours.find_all(engine, queries)
    monkeypatch.setattr(all_neighbours, "EXACT_COUNT_LIMIT", 5000)
    monkeypatch.setattr(all_neighbours, "MIN_SLICE_ENTRIES", 1000)
    recording = Recording(engine, 5000)
    got = all_neighbours.find_all(recording, queries)
    np.testing.assert_array_equal(got.offsets, expected.offsets)
    np.testing.assert_array_equal(got.distances, expected.distances)
    grouped = [call for call in recording.calls if call[:2] not in ((1, 10_000), (1, 20_000))]  # not true_count's
    # Each call holds at most a sixteenth of the result (or one row), and padding stays
    # small, except in calls that merge small groups, which stay within that sixteenth.
    slice_entries = len(got.indices) // 16
    assert max(rows * k for rows, k, _ in grouped if rows > 1) <= slice_entries
    assert all(rows * k <= 1.2 * found or rows * k <= slice_entries for rows, k, found in grouped)
    assert any(rows * k > 1.2 * found for rows, k, found in grouped)  # some groups were merged


# bun0's crowded spots hold 18,000 points within the median rule's radius: use the mean's.
@pytest.mark.parametrize("name, rule", [("bun0.npy", "mean"), ("table_scene_mug_stereo_textured.npy", "median")])
def test_real_scan_matches_find_neighbours(name, rule):
    if not (DATA / name).exists():
        pytest.skip(f"{DATA / name} not present (the shared real scans)")
    points = np.load(DATA / name)
    nns = kesra.KesraNNS(points, kesra.suggest_radius(points, 30, rule))
    result = nns.find_all_neighbours(points, num_threads=2)
    sample = np.arange(0, len(points), 37)
    indices, distances = nns.find_neighbours(points[sample], int(np.diff(result.offsets)[sample].max()))
    found = indices >= 0
    assert_pairs(result, np.nonzero(found)[0], indices[found], distances[found], which=sample)
