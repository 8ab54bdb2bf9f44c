"""KesraNNS.find_all_neighbours against the float32 brute force and against the engine's
own queries, and the bounds on what it holds while it works."""

import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kesra

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


def lattice_with_duplicates(side, copies):
    """Integer lattice points, each `copies` times, shuffled: every distance ties, and
    at radius 1 every point lies on cell faces."""
    axes = np.meshgrid(*[np.arange(side, dtype=np.float32)] * 3, indexing="ij")
    lattice = np.repeat(np.stack(axes, axis=-1).reshape(-1, 3), copies, axis=0)
    return lattice[np.random.default_rng(side).permutation(len(lattice))]


def test_native_rows_in_every_form(crowded):
    """Sorted rows are the float32 brute force's, the same bytes for every exact method;
    unsorted rows hold the same sets; pieces of iter_all_neighbours join into the whole."""
    points, queries = crowded
    lattice = lattice_with_duplicates(6, 2) + np.float32(40)
    points = np.concatenate([points, lattice])
    queries = np.concatenate([queries, lattice[:300]])
    whole = {}
    for method in ("voxel", "kdtree", "hybrid"):
        nns = kesra.KesraNNS(points, 1.0, method, subtree_threshold=16)
        whole[method] = nns.find_all_neighbours(queries, num_threads=3)
        for a, b in zip(whole[method], whole["voxel"], strict=True):
            assert a.tobytes() == b.tobytes(), method
        unsorted = nns.find_all_neighbours(queries, sort=False, num_threads=2)
        rows = np.repeat(np.arange(len(queries)), unsorted.counts())
        order = np.lexsort((unsorted.indices, sq_dist(queries[rows], points[unsorted.indices]), rows))
        np.testing.assert_array_equal(unsorted.offsets, whole[method].offsets)
        np.testing.assert_array_equal(unsorted.indices[order], whole[method].indices)
        pieces = list(nns.iter_all_neighbours(queries, max_pairs=5000, num_threads=2))
        firsts = np.cumsum([0] + [len(part.offsets) - 1 for _, part in pieces])
        assert len(pieces) > 3 and [first for first, _ in pieces] == firsts[:-1].tolist()
        joined_offsets = np.concatenate([[0]] + [part.offsets[1:] + sum(len(q.indices) for _, q in pieces[:i])
                                                 for i, (_, part) in enumerate(pieces)])
        np.testing.assert_array_equal(joined_offsets, whole[method].offsets)
        np.testing.assert_array_equal(np.concatenate([part.indices for _, part in pieces]), whole[method].indices)
        assert all(len(part.indices) <= 5000 or len(part.offsets) == 2 for _, part in pieces)
    result = whole["voxel"]
    with np.errstate(invalid="ignore"):
        d2 = sq_dist(queries[:, None, :], points[None, :, :])
    rows, columns = np.nonzero(d2 < np.float32(1.0))
    distances = np.sqrt(d2[rows, columns])
    order = np.lexsort((columns, d2[rows, columns], rows))  # the promised order: squared distance, then row
    np.testing.assert_array_equal(result.indices, columns[order])
    np.testing.assert_array_equal(result.distances, distances[order])
    assert result.counts().max() > 10_000 and (result.counts() == 0).sum() >= 3


@pytest.mark.parametrize("method", ["voxel", "kdtree", "hybrid"])
def test_same_call_same_bytes(method):
    """Rows, every neighbour and local shape (at one size and several) do not depend on threads, batches (small ones
    run on the calling thread), the order of the rows or a restored copy: equal squared
    distances come by row number."""
    cloud = lattice_with_duplicates(7, 3)
    nns = kesra.KesraNNS(cloud, 1.5, method, subtree_threshold=1)
    restored = pickle.loads(pickle.dumps(nns))
    first = nns.find_neighbours(cloud, 33, num_threads=1)
    indices, distances = first
    tied = (distances[:, 1:] == distances[:, :-1]) & (indices[:, 1:] >= 0)
    assert tied.any() and (indices[:, 1:][tied] > indices[:, :-1][tied]).all()
    reverse = np.arange(len(cloud))[::-1]

    def answers(engine, q, threads):
        """Every row-wise answer of `q`, as a list of arrays with one row per query."""
        whole = engine.find_all_neighbours(q, num_threads=threads)
        rows = np.split(np.c_[whole.indices, whole.distances.view(np.int32)], whole.offsets[1:-1])
        rows = np.array([r.tobytes() for r in rows], dtype=object)
        return [*engine.find_neighbours(q, 33, num_threads=threads), rows,
                *engine.local_geometry(q, 33, num_threads=threads),
                *engine.local_geometry(q, all_within=True, num_threads=threads),
                *engine.local_geometry(q, (5, 33), num_threads=threads)[:3],
                *engine.local_geometry(q, radii=(0.8, 1.5), num_threads=threads)[:3]]

    expected = answers(nns, cloud, 1)
    for engine in (nns, restored):
        for threads in (1, 2, 3):
            for got in (answers(engine, cloud, threads),
                        [a[reverse] for a in answers(engine, cloud[reverse], threads)],
                        [np.concatenate(a) for a in zip(*(answers(engine, cloud[i:i + 37], threads)
                                                          for i in range(0, len(cloud), 37)))]):
                for a, b in zip(got, expected, strict=True):
                    assert pickle.dumps(a) == pickle.dumps(b)
    for a, b in zip(expected, first):
        assert a.tobytes() == b.tobytes()
    # Calls of one chunk run on the calling thread: the same counts as a pooled call.
    counts = nns.count_neighbours(cloud, num_threads=2)
    alone = np.concatenate([nns.count_neighbours(cloud[i:i + 37]) for i in range(0, len(cloud), 37)])
    assert counts.tobytes() == alone.tobytes()


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


def test_rows_in_spatial_order_take_windows_and_fall_back_to_counting():
    """Rows in a scan's order are answered window by window, the windows following the
    density; rows that would stage millions of pairs are counted first instead. Either
    way the bytes are those of rows counted first."""
    rng = np.random.default_rng(11)
    surface = np.c_[rng.uniform(0, 40, (40_000, 2)), rng.normal(0, 0.05, 40_000)]
    cells = np.floor(surface[:, :2]).astype(int)
    surface = surface[np.lexsort((cells[:, 1], cells[:, 0]))]  # cell by cell, as a scan runs
    ball = rng.normal(0, 0.2, (4000, 3)) + [50, 50, 0]  # about 4,000 neighbours a row
    points = np.concatenate([surface, ball, surface[:3000]]).astype(np.float32)
    engine = kesra.KesraNNSEngine(points, 1.0)
    counts = engine.neighbour_counts(points)
    assert counts[-3000:].mean() < 200 < 3000 < counts[40_000:44_000].mean()
    found = engine.find_all_neighbours(points, num_threads=2)
    for a, b in zip(found, engine.find_all_neighbours(points, num_threads=3, counts=counts), strict=True):
        assert a.tobytes() == b.tobytes()


# A radius that gives every point every other point, under an address-space limit of
# 1 GiB more than the process holds: refused with MemoryError, whatever the row order,
# while a result that fits is still found.
LIMITED = r"""
import resource, numpy as np, kesra
used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 30),) * 2)
rng = np.random.default_rng(0)
points = rng.random((30_000, 3), dtype=np.float32)
nns = kesra.KesraNNS(points, 2.0, "voxel")
for queries in (points, points[rng.permutation(len(points))]):
    try:
        nns.find_all_neighbours(queries, num_threads=2)
        print("returned")
    except MemoryError as e:
        print("refused:", e)
print("fits:", len(kesra.KesraNNS(points, 0.05).find_all_neighbours(points, num_threads=2).indices))
"""


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc/self/statm")
def test_result_beyond_the_address_space_limit_is_refused():
    proc = subprocess.run([sys.executable, "-c", LIMITED], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 3 and all(line.startswith("refused: the result would hold") for line in lines[:2]), lines
    assert "neighbour pairs" in lines[0] and int(lines[2].split()[1]) > 30_000
