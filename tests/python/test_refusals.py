"""What the package refuses before the engine sees it, the command line's one-line refusals,
`to_csr`'s width, and float64 clouds far from the origin."""

import pickle
import warnings

import numpy as np
import pytest

import kesra
from kesra.__main__ import main
from kesra.origin import PrecisionWarning

from brute_force import random_cloud

POINTS = random_cloud(2_000, seed=21)
NNS = kesra.KesraNNS(POINTS, 1.5)
Q = POINTS[:3]
# 2**31 rows that cost no memory: every row is the same 12 bytes.
HUGE = np.lib.stride_tricks.as_strided(POINTS[0], shape=(2**31, 3), strides=(0, 4))


@pytest.mark.parametrize("call, error, words", [
    (lambda: kesra.KesraNNS(POINTS, 1e39), ValueError, "radius must be at most 3.4028235e+38"),
    (lambda: kesra.KesraNNS(POINTS, 1e-50), ValueError, "radius must be at least 1e-45"),
    (lambda: kesra.KesraNNS(POINTS, "1"), TypeError, "radius must be a number"),
    (lambda: kesra.KesraNNS(POINTS, True), TypeError, "radius must be a number, got bool"),
    (lambda: kesra.KesraNNS(None, 1.5), TypeError, "points must be an array-like of shape (N, 3), got None"),
    (lambda: kesra.KesraNNS(np.ma.masked_greater(POINTS, 9), 1.5), ValueError, "points is a masked array with"),
    (lambda: kesra.KesraNNS(HUGE, 1.5, nonfinite="keep"), ValueError,
     "points has 2,147,483,648 rows: one engine holds at most 2,147,483,647 (2**31 - 1) points"),
    (lambda: kesra.KesraNNSEngine(HUGE, 1.5), ValueError,
     "search_points has 2147483648 rows; an engine holds at most 2147483647 (2**31 - 1) points"),
    (lambda: kesra.KesraNNS(POINTS, 1.5, cells_per_radius=0), ValueError, "cells_per_radius must be at least 1"),
    (lambda: kesra.KesraNNS(POINTS, 1.5, "graph", graph_degree=0), ValueError, "graph_degree must be at least 1"),
    (lambda: kesra.KesraNNS(POINTS, 1.5, origin="none"), ValueError, 'origin must be "auto", None or three'),
    (lambda: kesra.KesraNNS(POINTS, 1.5, origin=(1, 2)), ValueError, "origin must be three finite coordinates"),
    (lambda: kesra.KesraNNS(POINTS, 1.5, "voxel", cells_per_radius=10**6), MemoryError,
     "not enough memory to build the 'voxel' structure over 2,000 points"),
    (lambda: NNS.find_neighbours(Q, 3, epsilon=-1.0), ValueError, "epsilon must be a non-negative number, got -1.0"),
    (lambda: NNS.find_neighbours(Q, 3, epsilon=np.nan), ValueError, "epsilon must be a non-negative number"),
    (lambda: NNS.find_neighbours(Q, 0), ValueError, "num_neighbours must be at least 1, got 0"),
    (lambda: NNS.find_neighbours(Q, True), TypeError, "num_neighbours must be a whole number, got True"),
    (lambda: NNS.count_neighbours(Q, progress="yes"), TypeError, "progress must be a bool, got str"),
    (lambda: next(NNS.iter_all_neighbours(Q, max_pairs=True)), TypeError, "max_pairs must be a whole number"),
    (lambda: NNS.find_neighbours(Q[:0], 2**62), ValueError, "num_neighbours=4,611,686,018,427,387,904 needs"),
    (lambda: NNS.find_neighbours(Q, 2**60), ValueError, "3 query rows x num_neighbours=1,152,921,504,606,846,976 "
                                                        "need 27,670,116,110,564,327,424 bytes of results: more than an"),
    (lambda: NNS.find_neighbours(Q, 2**56), MemoryError, "3 query rows x num_neighbours=72,057,594,037,927,936 need "
                                                         "1,729,382,256,910,270,464 bytes of results: more than this"),
    (lambda: NNS.count_neighbours(Q, num_threads=100_000), ValueError, "num_threads must be at most"),
    (lambda: NNS.find_all_neighbours(Q, num_threads=2**40), ValueError, "num_threads must be at most"),
    (lambda: NNS.count_neighbours(Q, distance_weight_factor=np.nan), ValueError,
     "distance_weight_factor must be a non-negative number, got nan"),
    (lambda: NNS.local_geometry(Q, orient_towards=[1, 2]), ValueError, "orient_towards must be one point (x, y, z), "
                                                                      "got shape (2,)"),
    (lambda: kesra.indices_by_field([0.0], [1]), TypeError, "row_ids must hold integers, got float64"),
    (lambda: kesra.indices_by_field(np.ma.array([0], mask=[1]), [1]), ValueError, "row_ids is a masked array"),
    (lambda: kesra.indices_by_field([0], np.ones((1, 1), int)), ValueError, "counts must be one-dimensional"),
    (lambda: kesra.indices_by_field(np.array([2**63], np.uint64), [1]), ValueError, "row_ids holds 9223372036854775808"),
])
def test_package_refusals(call, error, words):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value).startswith(words)


def test_indices_by_field_takes_any_integer_field():
    rows = kesra.indices_by_field(np.array([2, 0, 2], np.uint8), [1, 0, 2])
    assert [r.tolist() for r in rows.values()] == [[1], [], [0, 2]] and rows[2].dtype == np.uint64


@pytest.mark.parametrize("argv, words", [
    (["demo", "--threads", "-2"], "argument --threads: T must be at least 0, got -2"),
    (["demo", "--radius", "1e39"], "argument --radius: R must be at most"),
    (["demo", "--input", "{dir}/three.xyz"], "3 points are too few to choose a radius for 30 neighbours; "
                                             "give one with --radius"),
    (["count", "{dir}/empty.xyz", "-r", "1", "-o", "{dir}/c.npy"], "empty.xyz: no points"),
    (["count", "{dir}/nan.xyz", "-r", "1", "-o", "{dir}/c.npy"], "nan.xyz: no points with finite coordinates"),
    (["count", "{dir}/bad.csv", "-r", "1", "-o", "{dir}/c.npy"], "line 3: expected three numbers, got '4,abc,6'"),
    (["count", "{dir}/three.xyz", "-r", "1", "-t", "100000", "-o", "{dir}/c.npy"], "T must be at most"),
    (["count", "{dir}/three.npy", "-r", "1", "-o", "{dir}/three.npy"], "three.npy: OUTPUT is the file"),
    (["neighbours", "{dir}/three.xyz", "-q", "{dir}/three.npy", "-r", "1", "-k", "2", "-o", "{dir}/three.npy"],
     "three.npy: OUTPUT is the file"),
])
def test_command_line_refusals(tmp_path, capsys, argv, words):
    for name, text in [("three.xyz", "1 1 1\n" * 3), ("empty.xyz", ""), ("nan.xyz", "nan 0 0\n"),
                       ("bad.csv", "x,y,z\n1,2,3\n4,abc,6\n")]:
        (tmp_path / name).write_text(text)
    np.save(tmp_path / "three.npy", np.ones((3, 3)))
    try:
        status = main([a.format(dir=tmp_path) for a in argv])
    except SystemExit as e:  # argparse's own errors
        status = e.code
    err = capsys.readouterr().err
    assert status == 2 and words in err.splitlines()[-1] and "Traceback" not in err, err
    assert np.load(tmp_path / "three.npy").shape == (3, 3)


def test_to_csr_refuses_a_width_below_a_row_number():
    found = NNS.find_all_neighbours(POINTS[:10])
    assert found.to_csr().shape == (10, len(POINTS)) and found.to_csr(1999).shape == (10, 1999)
    largest = int(found.indices.max())
    with pytest.raises(ValueError, match=f"^num_points must exceed the largest row number, {largest:,}, got 10:"):
        found.to_csr(10)
    with pytest.raises(TypeError, match="to_csr needs num_points"):
        kesra.AllNeighbours(*found).to_csr()


def test_far_float64_cloud_answers_as_the_same_cloud_near_the_origin():
    # On a grid of 2**-16 every coordinate, shifted or not, is exact in float64 and float32.
    rng = np.random.default_rng(22)
    local = rng.integers(0, 20 << 16, (5000, 3)) / 65536
    queries = np.concatenate([local[:500], rng.integers(0, 20 << 16, (500, 3)) / 65536])
    base = np.array([650_000.0, 5_400_000.0, 300.0])
    near, far = kesra.KesraNNS(local, 0.4), kesra.KesraNNS(local + base, 0.4)
    assert near.origin is None and far.origin.tolist() == (base + np.floor(local.min(axis=0))).tolist()
    for nns in (far, pickle.loads(pickle.dumps(far))):
        for got, want in zip((*nns.find_neighbours(queries + base, 12), nns.count_neighbours(queries + base),
                              *nns.find_all_neighbours(queries + base)),
                             (*near.find_neighbours(queries, 12), near.count_neighbours(queries),
                              *near.find_all_neighbours(queries)), strict=True):
            np.testing.assert_array_equal(got, want)
    # Unshifted, float32 keeps only half-metres there: other counts, and a warning.
    with pytest.warns(PrecisionWarning, match="float32 values are 0.5 apart: 1.25 times the radius 0.4"):
        unshifted = kesra.KesraNNS(local + base, 0.4, origin=None)
    assert (unshifted.count_neighbours(local + base) != near.count_neighbours(local)).mean() > 0.05
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # ordinary clouds stay as they are, silently
        assert kesra.KesraNNS(POINTS.astype(np.float64), 0.05).origin is None


def test_what_float32_cannot_hold_is_shifted_exactly_or_warned_of():
    local = np.random.default_rng(23).integers(0, 2000, (3000, 3))
    want = kesra.KesraNNS(local, 40.0).count_neighbours(local)
    # 64-bit integers beyond float64's 2**53 are shifted in integers, exactly.
    for cloud in (local + 2**60, local.astype(np.uint64) + np.uint64(2**64 - 3000)):
        far = kesra.KesraNNS(cloud, 40.0)
        assert far.origin is not None and (far.origin <= cloud.min(axis=0)).all()
        np.testing.assert_array_equal(far.count_neighbours(cloud), want)
    shifted = kesra.KesraNNS(local + 6e6, 40.0)
    with pytest.warns(PrecisionWarning, match=r"^float32 queries reach 6\d+, where float32 values are 0.5 apart"):
        shifted.count_neighbours((local + 6e6).astype(np.float32))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)  # not NumPy's overflow warning
        with pytest.warns(PrecisionWarning, match="^points: coordinates beyond float32's range"):
            assert kesra.KesraNNS(np.vstack([local, [[1e39, 0, 0]]]), 40.0).rows_left_out == 1
