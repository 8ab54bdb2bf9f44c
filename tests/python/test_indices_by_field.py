"""indices_by_field: grouping, the id/count contract checked both ways, argument checks."""

import gc
import os
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from kesra._kesra import indices_by_field  # the native function: its own checks and notes


def i64(values):
    return np.asarray(values, dtype=np.int64)


def check_groups(result, expected):
    assert list(result) == list(range(len(expected)))
    assert all(type(key) is int for key in result)
    for rows, want in zip(result.values(), expected):
        assert rows.dtype == np.uint64 and rows.ndim == 1
        assert rows.flags.c_contiguous and rows.flags.writeable
        np.testing.assert_array_equal(rows, np.asarray(want, dtype=np.uint64))


def test_empty_inputs_example_and_ownership():
    assert indices_by_field(i64([]), i64([])) == {}
    check_groups(indices_by_field(i64([]), i64([0, 0])), [[], []])
    result = indices_by_field(i64([0, 2, 0]), i64([2, 0, 1]))
    check_groups(result, [[0, 2], [], [1]])
    arrays = list(result.values())
    assert not any(np.shares_memory(a, b) for a in arrays for b in arrays if a is not b)
    first = result[0]  # must keep its own buffer alive once the dict is gone
    del result, arrays
    gc.collect()
    first[1] += 5
    np.testing.assert_array_equal(first, [0, 7])
    junk = [np.full(5, -1, np.int64) for _ in range(100)]  # stale memory must not show through
    del junk
    np.testing.assert_array_equal(indices_by_field(np.repeat(np.arange(20), 5), np.full(20, 5))[19],
                                  np.arange(95, 100))


@pytest.mark.parametrize("row_ids, counts, message", [
    ([3, -1], [], "unique id 3 out of range"),
    ([5, -1], [1], "unique id 5 out of range"),
    ([-1, 5], [1], "unique id -1 out of range"),
    ([-2**63], [1], "unique id -9223372036854775808 out of range"),
    ([0, 2**63 - 1], [1], "unique id 9223372036854775807 out of range"),
    ([0, 0, 0], [2], "unique id 0 appears more times than its count"),
    ([0, 0, 7], [1], "unique id 0 appears more times than its count"),
    ([0, 7, 0], [1], "unique id 7 out of range"),
    ([0], [2], "unique id 0 appears 1 times but its count is 2"),
    ([1, 0], [2, 2], "unique id 0 appears 1 times but its count is 2"),
    ([1, 1, 1], [0, 5, 0], "unique id 1 appears 3 times but its count is 5"),
    ([], [0, 0, 4], "unique id 2 appears 0 times but its count is 4"),
    ([1, 9], [1, 1], "unique id 9 out of range"),  # short counts only checked once all rows pass
])
def test_contract_messages(row_ids, counts, message):
    with pytest.raises(ValueError) as exc:
        indices_by_field(i64(row_ids), i64(counts))
    assert str(exc.value) == message


@pytest.mark.parametrize("row_ids, counts", [
    ([], [-1]), ([0], [-1]), ([0], [2**62]), ([0], [2**63 - 1]), ([1], [2**62, -5]),
])
def test_impossible_counts_raise(row_ids, counts):
    with pytest.raises(Exception):
        indices_by_field(i64(row_ids), i64(counts))


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_failures_free_written_arrays():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    row_ids, counts = np.zeros(1_000_000, np.int64), i64([1_000_000, 1])
    for _ in range(3):
        pytest.raises(ValueError, indices_by_field, row_ids, counts)
    before = rss()
    for _ in range(20):  # 8 MB written per call: leaking would add 160 MB
        pytest.raises(ValueError, indices_by_field, row_ids, counts)
    assert rss() - before < 40 << 20


SWAPPED = ">i8" if sys.byteorder == "little" else "<i8"
BAD = [np.array([0], np.int32), np.zeros((1, 1), np.int64), [0], np.array([0], SWAPPED),
       np.array([0], np.uint64), np.array([0.0]), np.int64(0), None]


@pytest.mark.parametrize("position", [0, 1], ids=["row_ids", "counts"])
@pytest.mark.parametrize("bad", BAD, ids=["int32", "2d", "list", "swapped", "uint64", "float64",
                                          "scalar", "None"])
def test_conversion_errors(position, bad):
    args = [i64([7]), i64([1])]  # row 0 is out of range: rows must not be read first
    args[position] = bad
    with pytest.raises(TypeError, match="int64") as exc:
        indices_by_field(*args)
    assert exc.value.__notes__ == [f"while processing '{('row_ids', 'counts')[position]}'"]
    assert not isinstance(bad, list) or "list" in str(exc.value)
    if position == 1:  # row_ids is converted first
        with pytest.raises(TypeError) as exc:
            indices_by_field(np.array([0], np.int32), bad)
        assert exc.value.__notes__ == ["while processing 'row_ids'"]


def test_accepted_layouts():
    base = i64([0, 99, 2, 99, 0, 99, 1])
    counts = i64([2, 99, 1, 99, 1, 99])[::2]
    check_groups(indices_by_field(base[::2], counts), [[0, 2], [3], [1]])
    check_groups(indices_by_field(base[::-2], counts), [[1, 3], [0], [2]])
    ro = i64([1, 0])
    ro.flags.writeable = False
    check_groups(indices_by_field(ro, np.array([1, 1], np.longlong)), [[1], [0]])
    check_groups(indices_by_field(counts=i64([1]), row_ids=i64([0])), [[0]])


@pytest.mark.parametrize("args, kwargs, message", [
    ((i64([]),), {}, "indices_by_field() missing 1 required positional argument: 'counts'"),
    ((), {}, "row_ids"),
    ((i64([]), i64([]), i64([])), {}, "3"),
    ((i64([]), i64([])), {"bogus": 1}, "bogus"),
    ((i64([]),), {"row_ids": i64([])}, "row_ids"),
])
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as exc:
        indices_by_field(*args, **kwargs)
    assert message in str(exc.value)
    assert getattr(exc.value, "__notes__", None) is None


@settings(max_examples=50, deadline=None)
@given(st.integers(1, 40), st.lists(st.integers(0, 10**6), max_size=300))
def test_matches_stable_argsort(u, raw):
    row_ids = i64(raw) % u
    counts = np.bincount(row_ids, minlength=u).astype(np.int64)
    order = np.argsort(row_ids, kind="stable")
    check_groups(indices_by_field(row_ids, counts), np.split(order, np.cumsum(counts)[:-1]))


def contract_error(ids, counts):
    seen = [0] * len(counts)
    for i in ids:
        if not 0 <= i < len(counts):
            return f"unique id {i} out of range"
        if seen[i] >= counts[i]:
            return f"unique id {i} appears more times than its count"
        seen[i] += 1
    return next((f"unique id {i} appears {s} times but its count is {c}"
                 for i, (s, c) in enumerate(zip(seen, counts)) if s != c), None)


@settings(max_examples=50, deadline=None)
@given(st.lists(st.integers(-2, 6), max_size=40), st.lists(st.integers(0, 8), max_size=6))
def test_arbitrary_inputs_follow_contract(ids, counts):
    message = contract_error(ids, counts)
    try:
        indices_by_field(i64(ids), i64(counts))
    except ValueError as exc:
        assert str(exc) == message
    else:
        assert message is None
