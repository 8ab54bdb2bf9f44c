"""The module surface: names, docstrings, signatures and the engine's simple accessors."""

import importlib.metadata
import importlib.util
import inspect
import subprocess
import sys
import sysconfig

import numpy as np
import pytest

import kesra
from kesra import _kesra

Engine = kesra.KesraNNSEngine
ARGS = "Args:\n    query_points: Points to search for neighbours of (Q, 3)\n"
THREADS = ("    num_threads: Number of parallel threads to use for this call. `0` uses\n"
           "        rayon's default (all available CPUs)\n")
PROGRESS = "    progress: Show a progress bar over query points\n\nReturns:\n"
DOCS = {
    Engine.find_neighbours: (
        "($self, query_points, num_neighbours, num_threads=0, epsilon=0.0, progress=False)",
        "Find neighbours of query points within search points\n\n" + ARGS
        + "    num_neighbours: Maximum number of neighbours to search for\n" + THREADS
        + "    epsilon: Once `num_neighbours` neighbours closer than this have been found,\n"
        "        the search for that query point stops early\n" + PROGRESS
        + "    Indices of neighbouring points for each query point (Q, num_neighbours), -1 padded\n"
        "    Distance from query point to each neighbour (Q, num_neighbours), -1 padded"),
    Engine.count_neighbours: (
        "($self, query_points, num_threads=0, distance_weight_factor=None, progress=False)",
        "Count how many neighbours exist within the search radius of each query point,\n"
        "optionally weighting each neighbour's contribution by its distance\n\n" + ARGS + THREADS
        + "    distance_weight_factor: If `None`, count neighbours exactly. If `Some(p)` (must\n"
        "        be non-negative), each neighbour within the search radius instead\n"
        "        contributes `(1 - distance / search_radius).powf(p)`, so contributions run\n"
        "        from 1 at zero distance down to 0 at the search radius\n" + PROGRESS
        + "    Number of neighbours (or distance-weighted sum) within radius for each query\n"
        "    point (Q,)"),
    Engine.grid_stats: (
        "($self)",
        "Statistics about the voxel grid's occupancy, for choosing between methods\n\n"
        "Returns:\n    Dict with `num_cells`, `max_points_per_cell` and `mean_points_per_cell`\n"
        "    (plus `num_subtrees` for the hybrid method), or None for methods that\n"
        "    don't use a grid"),
    kesra.available_methods: ("()", "Names of the search methods compiled into this build"),
}


def test_module_names():
    assert _kesra.__all__ == ["KesraNNSEngine", "indices_by_field", "available_methods"]
    assert Engine.__module__ == "kesra" and Engine.__qualname__ == "KesraNNSEngine"
    # `except Exception` in callers must not swallow failures of the engine itself.
    assert issubclass(kesra.KesraInternalError, BaseException)
    assert not issubclass(kesra.KesraInternalError, Exception)


def test_public_namespaces_hold_their_names_only():
    modules = [kesra] + ([importlib.import_module("kesra.dask")] if importlib.util.find_spec("dask") else [])
    for module in modules:  # no helpers such as np or ArrayLike beside the public names
        public = {name for name, value in vars(module).items()
                  if not name.startswith("_") and not inspect.ismodule(value)}
        assert public == set(module.__all__), module.__name__


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="needs a free-threaded interpreter: only there can the GIL stay off")
def test_gil_stays_disabled():
    # A fresh process sees the import itself; -W error makes a re-enabled GIL fatal.
    code = "import sys, kesra; sys.exit(0 if sys._is_gil_enabled() is False else 3)"
    proc = subprocess.run([sys.executable, "-W", "error", "-c", code],
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr


def test_docstrings_and_signatures():
    assert Engine.__text_signature__ == (
        '(search_points, max_dist, method="voxel", cells_per_radius=1, '
        'subtree_threshold=64, graph_degree=16)')
    assert "\n" not in Engine.__doc__.strip() and "`kesra.nns.KesraNNS`" in Engine.__doc__
    assert Engine.method.__doc__ == "Search method this engine was built with"
    for func, (signature, doc) in DOCS.items():
        assert (func.__text_signature__, func.__doc__) == (signature, doc), func.__name__


def public_api():
    """Every public function, class, method and property reachable from kesra and kesra.dask."""
    try:
        import kesra.dask as kesra_dask
    except ImportError:  # without the dask extra
        kesra_dask = None
    for module in filter(None, (kesra, kesra_dask)):
        for name in module.__all__:
            obj = getattr(module, name)
            yield f"{module.__name__}.{name}", obj
            if inspect.isclass(obj):
                for attr, member in vars(obj).items():
                    if not attr.startswith("_") and (inspect.isroutine(member) or isinstance(
                            member, (property, classmethod, staticmethod)) or inspect.isgetsetdescriptor(member)):
                        yield f"{module.__name__}.{name}.{attr}", member


@pytest.mark.parametrize(("name", "obj"), list(public_api()), ids=[name for name, _ in public_api()])
def test_public_names_have_docstrings(name, obj):
    # help() and pydoc are the API reference: a class's own docstring, not one it inherits.
    doc = vars(obj).get("__doc__") if inspect.isclass(obj) else obj.__doc__
    assert isinstance(doc, str) and doc.strip(), f"{name} has no docstring"


def test_one_version():
    # Kept in pyproject.toml only: the installed metadata, __version__ and the command agree.
    proc = subprocess.run([sys.executable, "-m", "kesra", "--version"], capture_output=True, text=True,
                          timeout=60)
    assert proc.stdout.strip() == f"kesra {kesra.__version__}" == f"kesra {importlib.metadata.version('kesra')}"


def test_available_methods_returns_a_new_list():
    first = kesra.available_methods()
    assert first == ["voxel", "kdtree", "hybrid", "graph"]
    first[0] = "changed"
    assert kesra.available_methods() == ["voxel", "kdtree", "hybrid", "graph"]
    with pytest.raises(TypeError):
        kesra.available_methods(1)


def test_method_is_read_only_and_len():
    engine = Engine(np.zeros((7, 3), np.float32), 1.0, method="voxel")
    assert engine.method == "voxel" and len(engine) == 7 and engine
    with pytest.raises(AttributeError):
        engine.method = "kdtree"
    empty = Engine(np.zeros((0, 3), np.float32), 1.0)
    assert len(empty) == 0 and not empty


# Cell faces belong to the cell above them and negative coordinates round down; the mean
# is a float32 quotient (6 / 5 differs from the double one).
GRID_POINTS = np.array([[0, 0, 0], [0.999, 0.5, 0.5], [1, 0, 0],
                        [-0.25, 0, 0], [-1, 0.5, 0.5], [-0.5, 0, 0]], np.float32)


@pytest.mark.parametrize("points, m, stats", [
    (GRID_POINTS, 1, (3, 3, 2.0)),
    (GRID_POINTS, 0, (3, 3, 2.0)),
    (GRID_POINTS, 2, (5, 2, float(np.float32(6) / np.float32(5)))),
    (GRID_POINTS[:0], 1, (0, 0, 0.0)),
])
def test_grid_stats(points, m, stats):
    got = Engine(points, 1.0, cells_per_radius=m).grid_stats()
    assert list(got) == ["num_cells", "max_points_per_cell", "mean_points_per_cell"]
    assert tuple(got.values()) == stats and [type(v) for v in got.values()] == [int, int, float]
    assert Engine(points, 1.0, "kdtree").grid_stats() is None


@pytest.mark.parametrize("threshold, subtrees", [(0, 2), (1, 2), (2, 1), (3, 0)])
def test_hybrid_grid_stats(threshold, subtrees):
    # GRID_POINTS holds cells of 3, 2 and 1 points; cells above max(threshold, 1) get a subtree.
    got = Engine(GRID_POINTS, 1.0, "hybrid", subtree_threshold=threshold).grid_stats()
    assert list(got) == ["num_cells", "max_points_per_cell", "mean_points_per_cell", "num_subtrees"]
    assert tuple(got.values()) == (3, 3, 2.0, subtrees) and type(got["num_subtrees"]) is int


@pytest.mark.parametrize("degree, effective", [(0, 1), (5, 5)])
def test_graph_grid_stats(degree, effective):
    engine = Engine(GRID_POINTS, 1.0, "graph", graph_degree=degree)
    assert list(engine.grid_stats().items())[3:] == [("graph_degree", effective)]
