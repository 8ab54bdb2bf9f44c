"""Argument checks: exception types, exact messages, notes, and the order of the checks."""

import subprocess
import sys

import numpy as np
import pytest

import kesra
from brute_force import random_cloud

Engine = kesra.KesraNNSEngine
POINTS = random_cloud(500, seed=10, low=-2, high=2)
QUERIES = random_cloud(40, seed=11, low=-2, high=2)
BAD_SHAPE = np.zeros((4, 2), np.float32)
ENGINE = Engine(POINTS, 0.5)
NEGATIVE = "distance_weight_factor must be non-negative"
NOT_NATIVE = ">f4" if sys.byteorder == "little" else "<f4"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 0.5


CALLS = {
    "new": lambda *a, **kw: Engine(*a, **kw),
    "find": lambda *a, **kw: ENGINE.find_neighbours(*a, **kw),
    "count": lambda *a, **kw: ENGINE.count_neighbours(*a, **kw),
}


def raises(exc_type, call, *args, note=None, message=None, **kwargs):
    with pytest.raises(exc_type) as info:
        CALLS[call](*args, **kwargs)
    assert type(info.value) is exc_type
    assert getattr(info.value, "__notes__", None) == (note and [f"while processing '{note}'"])
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("call, args, kwargs, message", [
    ("new", (POINTS,), {}, "KesraNNSEngine.__new__() missing 1 required positional "
                           "argument: 'max_dist'"),
    ("find", (QUERIES,), {}, "KesraNNSEngine.find_neighbours() missing 1 required "
                             "positional argument: 'num_neighbours'"),
    # Binding comes before any conversion: the bad array is not looked at.
    ("new", ("not an array", 1.0), {"bogus": 1}, None),
    ("new", (POINTS, 1.0), {"max_dist": 1.0}, None),
    ("find", (QUERIES, 3, 0, 0.0, False, 1), {}, None),
    ("count", ("not an array",), {"num_neighbours": 3}, None),
])
def test_binding_errors(call, args, kwargs, message):
    raises(TypeError, call, *args, message=message, **kwargs)


@pytest.mark.parametrize("array", [
    QUERIES.astype(np.float64), QUERIES.astype(NOT_NATIVE), QUERIES[:, 0].copy(),
    QUERIES.tolist()], ids=["float64", "byteswapped", "1d", "list"])
@pytest.mark.parametrize("call, name", [
    ("new", "search_points"), ("find", "query_points"), ("count", "query_points")])
def test_array_type(call, name, array):
    args = (array, 1.0) if call == "new" else (array, 3) if call == "find" else (array,)
    raises(TypeError, call, *args, note=name)


@pytest.mark.parametrize("call, args, message", [
    ("new", (np.zeros((5, 2), np.float32), 1.0),
     "search_points must have shape (N, 3), got [5, 2]"),
    ("find", (BAD_SHAPE, 3), "query_points must have shape (N, 3), got [4, 2]"),
    ("count", (np.zeros((0, 4), np.float32),), "query_points must have shape (N, 3), got [0, 4]"),
])
def test_shape(call, args, message):
    raises(ValueError, call, *args, message=message)


@pytest.mark.parametrize("value, shown", [
    (0, "0"), (-0.0, "-0"), (-2.5, "-2.5"), (float("inf"), "inf"), (float("nan"), "NaN"),
    # narrowed to float32 before the check and the printing
    (1e-50, "0"), (1e39, "inf"), (-123456.789, "-123456.79"),
    # shortest decimal, never with an exponent
    (-3e38, "-300000000000000000000000000000000000000"), (-1e-7, "-0.0000001"),
])
def test_max_dist_value(value, shown):
    raises(ValueError, "new", POINTS, value,
           message=f"max_dist must be a positive finite number, got {shown}")


def test_accepted_values_keep_their_value():
    points = np.array([[0.4, 0, 0], [0.6, 0, 0], [1.5, 0, 0]], np.float32)
    query = np.zeros((1, 3), np.float32)
    for max_dist, count in [(Float(), 1), (Index(1), 2), (2, 3), (1e-45, 0)]:
        assert Engine(points, max_dist).count_neighbours(query)[0] == count
    engine = Engine(points, 1.0, cells_per_radius=0, subtree_threshold=0, graph_degree=0)
    assert engine.count_neighbours(query)[0] == 2
    assert len(Engine(points, 1.0, "voxel", 1, 2**64 - 1, 2**64 - 1)) == 3
    # Every parameter by keyword, in any order.
    engine = Engine(graph_degree=7, subtree_threshold=5, cells_per_radius=2, method="voxel",
                    max_dist=1.0, search_points=points)
    idx, _ = engine.find_neighbours(progress=np.True_, epsilon=0.0, num_threads=Index(1),
                                    num_neighbours=np.int64(3), query_points=query)
    assert idx.tolist() == [[0, 1, -1]]
    assert engine.count_neighbours(progress=False, distance_weight_factor=0.0,
                                   num_threads=1, query_points=query)[0] == 2


@pytest.mark.parametrize("method, quoted", [
    ("Voxel", '"Voxel"'),
    ('a"b\\\n\t\r\0\x01\x7fé日', r'"a\"b\\\n\t\r\0\u{1}\u{7f}é日"'),
])
def test_unknown_method(method, quoted):
    raises(ValueError, "new", POINTS, 1.0, method=method, message=f"unknown method {quoted}; "
           'expected one of ["voxel", "kdtree", "hybrid", "graph"]')


@pytest.mark.parametrize("call, kwargs, exc_type, name", [
    ("new", {"max_dist": "1.0"}, TypeError, "max_dist"),
    ("new", {"max_dist": 1.0, "method": 1}, TypeError, "method"),
    ("new", {"max_dist": 1.0, "cells_per_radius": -1}, OverflowError, "cells_per_radius"),
    ("new", {"max_dist": 1.0, "cells_per_radius": 1.0}, TypeError, "cells_per_radius"),
    ("new", {"max_dist": 1.0, "subtree_threshold": 2**64}, OverflowError, "subtree_threshold"),
    ("new", {"max_dist": 1.0, "graph_degree": "16"}, TypeError, "graph_degree"),
    ("find", {"num_neighbours": -1}, OverflowError, "num_neighbours"),
    ("find", {"num_neighbours": 3.0}, TypeError, "num_neighbours"),
    ("find", {"num_neighbours": 3, "num_threads": 2**64}, OverflowError, "num_threads"),
    ("find", {"num_neighbours": 3, "epsilon": "0.1"}, TypeError, "epsilon"),
    ("find", {"num_neighbours": 3, "progress": 1}, TypeError, "progress"),
    ("count", {"num_threads": -1}, OverflowError, "num_threads"),
    ("count", {"distance_weight_factor": "1"}, TypeError, "distance_weight_factor"),
    ("count", {"progress": np.int64(1)}, TypeError, "progress"),
])
def test_conversion_errors(call, kwargs, exc_type, name):
    raises(exc_type, call, POINTS if call == "new" else QUERIES, note=name, **kwargs)


def test_cells_per_radius_beyond_32_bits():
    raises(OverflowError, "new", POINTS, 1.0, cells_per_radius=2**32, note="cells_per_radius",
           message="out of range integral type conversion attempted")


@pytest.mark.parametrize("p", [-0.5, float("-inf")])
def test_negative_weight(p):
    raises(ValueError, "count", QUERIES, distance_weight_factor=p, message=NEGATIVE)


@pytest.mark.parametrize("p", [-0.0, -1e-50, float("nan")])
def test_weights_that_are_not_below_zero(p):
    # -1e-50 narrows to -0.0; NaN is not below zero either.
    assert ENGINE.count_neighbours(QUERIES, distance_weight_factor=p).shape == (40,)


@pytest.mark.parametrize("call, args, kwargs, exc_type, expected", [
    # conversions first, in parameter order, before any value check
    ("new", (np.zeros((2, 3)), "x"), {}, TypeError, "search_points"),
    ("new", (POINTS, 0.0), {"method": 1}, TypeError, "method"),
    ("new", (BAD_SHAPE, -1.0), {"graph_degree": -1}, OverflowError, "graph_degree"),
    ("find", (BAD_SHAPE, -1), {}, OverflowError, "num_neighbours"),
    ("find", (BAD_SHAPE, 3), {"progress": 1}, TypeError, "progress"),
    ("count", (BAD_SHAPE, -1, -1.0), {}, OverflowError, "num_threads"),
    # then max_dist, the shape, and the method name last
    ("new", (BAD_SHAPE, float("nan")), {"method": "nope"}, ValueError,
     "max_dist must be a positive finite number, got NaN"),
    ("new", (BAD_SHAPE, 1.0), {"method": "nope"}, ValueError,
     "search_points must have shape (N, 3), got [4, 2]"),
    # the weight before the shape
    ("count", (BAD_SHAPE,), {"distance_weight_factor": -0.5}, ValueError, NEGATIVE),
])
def test_check_order(call, args, kwargs, exc_type, expected):
    if exc_type is ValueError:
        raises(exc_type, call, *args, message=expected, **kwargs)
    else:
        raises(exc_type, call, *args, note=expected, **kwargs)


def test_huge_sizes_raise_instead_of_crashing():
    # Which exception is free; the process must survive and the engine keep working.
    # The child's address space is capped so that no allocation can succeed by luck.
    code = (
        "import resource, numpy as np, kesra\n"
        "resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))\n"
        "e = kesra.KesraNNSEngine(np.zeros((10, 3), np.float32), 1.0)\n"
        "q = np.zeros((2, 3), np.float32)\n"
        "calls = [lambda k=k: e.find_neighbours(q, k) for k in (2**40, 2**64 - 1)]\n"
        "calls.append(lambda: kesra.KesraNNSEngine(q, 1.0, cells_per_radius=2**31))\n"
        "many = np.lib.stride_tricks.as_strided(q[0], shape=(2**40, 3), strides=(0, 4))\n"
        "calls.append(lambda: kesra._kesra._sample_occupancy(many, 1.0, 2**40))\n"
        "for call in calls:\n"
        "    try:\n"
        "        call()\n"
        "        print('returned')\n"
        "    except BaseException:\n"
        "        print('raised')\n"
        "print(int(e.count_neighbours(q)[0]))\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["raised"] * 4 + ["10"]
