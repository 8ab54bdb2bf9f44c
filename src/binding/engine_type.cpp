// The KesraNNSEngine type: construction, method, grid_stats, len and the method table.
#include <new>
#include <optional>
#include <string>

#include "engine/messages.hpp"
#include "binding/arguments.hpp"
#include "binding/claim.hpp"
#include "binding/engine_object.hpp"
#include "binding/py_ref.hpp"
#include "binding/worker_pool_call.hpp"

namespace kesra::py {

namespace {

// Results give row numbers as int32; checked before anything is copied or built.
constexpr std::size_t MAX_ENGINE_POINTS = 2147483647;

const char* const new_names[] = {"search_points",    "max_dist",          "method",
                                 "cells_per_radius", "subtree_threshold", "graph_degree"};
const Signature new_signature{"KesraNNSEngine.__new__", new_names, 6, 2};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* a[6];
    if (!bind(new_signature, args, kwargs, a)) return nullptr;
    PointsView points;
    EngineParams params{0.0f, "voxel", 1, 64, 16};
    if (!to_points_view(a[0], "search_points", points) || !to_f32(a[1], "max_dist", params.max_dist) ||
        (a[2] && !to_utf8(a[2], "method", params.method)) ||
        (a[3] && !to_u32(a[3], "cells_per_radius", params.cells_per_radius)) ||
        (a[4] && !to_usize(a[4], "subtree_threshold", params.subtree_threshold)) ||
        (a[5] && !to_usize(a[5], "graph_degree", params.graph_degree)))
        return nullptr;
    if (!(params.max_dist > 0.0f) || std::isinf(params.max_dist)) {
        const std::string msg = "max_dist must be a positive finite number, got " + format_f32(params.max_dist);
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return nullptr;
    }
    if (!check_three_columns(points, "search_points")) return nullptr;
    if (points.rows > MAX_ENGINE_POINTS) {
        const std::string msg = "search_points has " + std::to_string(points.rows) +
                                " rows; an engine holds at most 2147483647 (2**31 - 1) points, as its row "
                                "numbers are int32: kesra.dask.TiledEngine searches larger clouds in tiles";
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return nullptr;
    }

    std::unique_ptr<Engine> engine;
    const bool ok = run_on_worker_pool(0, [&](WorkerPool& pool) {
        engine = std::make_unique<Engine>(build_engine(pool, points, std::move(params)));
    });
    if (!ok) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&as_engine(self)->claim) std::atomic<std::int64_t>(0);
    as_engine(self)->engine = engine.release();
    return self;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_engine(self)->engine;
    as_engine(self)->engine = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

Py_ssize_t engine_len(PyObject* self) {
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return -1;
    return static_cast<Py_ssize_t>(backend_size(as_engine(self)->engine->backend));
}

PyObject* engine_method(PyObject* self, void*) {
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    const std::string& m = as_engine(self)->engine->method;
    return PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size()));
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    Ref owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* engine_grid_stats(PyObject* self, PyObject*) {
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    const std::optional<GridStats> stats = backend_grid_stats(as_engine(self)->engine->backend);
    if (!stats) Py_RETURN_NONE;
    Ref dict(PyDict_New());
    if (!dict || !set_item(dict.get(), "num_cells", PyLong_FromSize_t(stats->num_cells)) ||
        !set_item(dict.get(), "max_points_per_cell", PyLong_FromUnsignedLong(stats->max_points_per_cell)) ||
        !set_item(dict.get(), "mean_points_per_cell", PyFloat_FromDouble(static_cast<double>(stats->mean_points_per_cell))))
        return nullptr;
    if (stats->num_subtrees && !set_item(dict.get(), "num_subtrees", PyLong_FromSize_t(*stats->num_subtrees)))
        return nullptr;
    if (stats->graph_degree &&
        !set_item(dict.get(), "graph_degree", PyLong_FromUnsignedLongLong(*stats->graph_degree)))
        return nullptr;
    return dict.release();
}

PyGetSetDef engine_getset[] = {
    {"method", engine_method, nullptr, "Search method this engine was built with", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef engine_methods[] = {
    {"grid_stats", engine_grid_stats, METH_NOARGS,
     "grid_stats($self)\n--\n\nStatistics about the voxel grid's occupancy, for choosing between methods\n\n"
     "Returns:\n    Dict with `num_cells`, `max_points_per_cell` and `mean_points_per_cell`\n"
     "    (plus `num_subtrees` for the hybrid method), or None for methods that\n    don't use a grid"},
    {"find_neighbours", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_find_neighbours)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_neighbours($self, query_points, num_neighbours, num_threads=0, epsilon=0.0, progress=False)\n--\n\n"
     "Find neighbours of query points within search points\n\nArgs:\n"
     "    query_points: Points to search for neighbours of (Q, 3)\n"
     "    num_neighbours: Maximum number of neighbours to search for\n"
     "    num_threads: Number of parallel threads to use for this call. `0` uses\n"
     "        rayon's default (all available CPUs)\n"
     "    epsilon: Once `num_neighbours` neighbours closer than this have been found,\n"
     "        the search for that query point stops early\n"
     "    progress: Show a progress bar over query points\n\nReturns:\n"
     "    Indices of neighbouring points for each query point (Q, num_neighbours), -1 padded\n"
     "    Distance from query point to each neighbour (Q, num_neighbours), -1 padded"},
    {"count_neighbours", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_count_neighbours)),
     METH_FASTCALL | METH_KEYWORDS,
     "count_neighbours($self, query_points, num_threads=0, distance_weight_factor=None, progress=False)\n--\n\n"
     "Count how many neighbours exist within the search radius of each query point,\n"
     "optionally weighting each neighbour's contribution by its distance\n\nArgs:\n"
     "    query_points: Points to search for neighbours of (Q, 3)\n"
     "    num_threads: Number of parallel threads to use for this call. `0` uses\n"
     "        rayon's default (all available CPUs)\n"
     "    distance_weight_factor: If `None`, count neighbours exactly. If `Some(p)` (must\n"
     "        be non-negative), each neighbour within the search radius instead\n"
     "        contributes `(1 - distance / search_radius).powf(p)`, so contributions run\n"
     "        from 1 at zero distance down to 0 at the search radius\n"
     "    progress: Show a progress bar over query points\n\nReturns:\n"
     "    Number of neighbours (or distance-weighted sum) within radius for each query\n    point (Q,)"},
    {"find_all_neighbours", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_find_all_neighbours)),
     METH_FASTCALL | METH_KEYWORDS,
     "find_all_neighbours($self, query_points, sort=True, num_threads=0, progress=False, counts=None)\n--\n\n"
     "Every search point within the radius of each query point, in compressed rows\n\n"
     "The rows hold exactly the points count_neighbours counts (for \"graph\", those its\n"
     "walk reaches). Rows that follow each other in space are answered in one pass, a\n"
     "window of rows at a time, placed by their counts; other rows (and calls given\n"
     "counts) are counted first, the result sized from the counts, and each row written\n"
     "straight into its place.\n\nArgs:\n"
     "    query_points: Points to search for neighbours of (Q, 3)\n"
     "    sort: Each row ascending by squared distance, equal ones by row number; False\n"
     "        leaves each row in the search's own order\n"
     "    num_threads: Number of parallel threads to use for this call, as for\n"
     "        find_neighbours\n"
     "    progress: Show one progress bar over counting and finding\n"
     "    counts: The rows' neighbour_counts, to skip counting them again; a row whose\n"
     "        search finds another number raises ValueError\n\nReturns:\n"
     "    offsets, int64 (Q + 1,): the neighbours of row i are at offsets[i]:offsets[i + 1]\n"
     "    indices, int32: their row numbers in the search points\n"
     "    distances, float32: their distances\n\n"
     "Raises MemoryError when the result cannot be allocated, naming its pairs (counted,\n"
     "or at least those counted so far); no part of the result is returned"},
    {"neighbour_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_neighbour_counts)),
     METH_FASTCALL | METH_KEYWORDS,
     "neighbour_counts($self, query_points, num_threads=0, progress=False)\n--\n\n"
     "The exact number of search points within the radius of each query point, int64\n"
     "(Q,): what count_neighbours counts, without float32 rounding above 2**24"},
    {"local_geometry", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_local_geometry)),
     METH_FASTCALL | METH_KEYWORDS,
     "local_geometry($self, query_points, num_neighbours=16, all_within=False, num_threads=0, progress=False, "
     "viewpoint=None)\n--\n\n"
     "The shape of each query point's neighbourhood: the eigenvalues of the covariance of\n"
     "its neighbours (centred on their mean, divided by their number) and the unit\n"
     "eigenvector of the smallest, its normal, computed where the neighbours are found\n\nArgs:\n"
     "    query_points: Points to describe the neighbourhoods of (Q, 3)\n"
     "    num_neighbours: The k nearest points within the radius make the neighbourhood\n"
     "    all_within: Every point within the radius makes it instead (k is not used)\n"
     "    num_threads: Number of parallel threads to use for this call, as for\n"
     "        find_neighbours\n"
     "    progress: Show a progress bar over query points\n"
     "    viewpoint: None, or three coordinates: each normal is turned towards this point\n\n"
     "Returns:\n"
     "    eigenvalues, float32 (Q, 3), ascending; NaN for rows of fewer than 3 neighbours\n"
     "    normals, float32 (Q, 3), unit; NaN as the eigenvalues, and where the points lie\n"
     "        at one spot or on a line (the two smallest eigenvalues within 1e-6 of the largest)\n"
     "    counts, int64 (Q,): the neighbours each row used"},
    {"scale_geometry", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_scale_geometry)),
     METH_FASTCALL | METH_KEYWORDS,
     "scale_geometry($self, query_points, radii=None, num_neighbours=None, num_threads=0, progress=False, "
     "viewpoint=None)\n--\n\n"
     "local_geometry at S sizes of neighbourhood from one search per query point: every\n"
     "point within each of `radii`, or the k nearest for each k of `num_neighbours`\n\nArgs:\n"
     "    query_points: Points to describe the neighbourhoods of (Q, 3)\n"
     "    radii: Strictly ascending radii, each at most the engine's\n"
     "    num_neighbours: Strictly ascending k, each at least 1 (instead of radii)\n"
     "    num_threads, progress, viewpoint: as for local_geometry\n\n"
     "Returns:\n"
     "    eigenvalues, float32 (Q, S, 3), normals, float32 (Q, S, 3), and counts, int64\n"
     "        (Q, S): each scale as local_geometry gives it"},
    {"dbscan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_dbscan)), METH_FASTCALL | METH_KEYWORDS,
     "dbscan($self, min_samples, min_cluster_size=1, num_threads=0, progress=False, core=None)\n--\n\n"
     "Density-based clusters of the search points: labels, int64 (N,), -1 for noise, and\n"
     "the core flags, bool (N,); `core` gives the flags instead of counting them"},
    {"radius_outliers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_radius_outliers)),
     METH_FASTCALL | METH_KEYWORDS,
     "radius_outliers($self, min_neighbours, query_points=None, num_threads=0, progress=False)\n--\n\n"
     "True where fewer than min_neighbours search points lie within the radius of each\n"
     "query point (of each search point when query_points is None), bool"},
    {"mean_neighbour_distances",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_mean_neighbour_distances)),
     METH_FASTCALL | METH_KEYWORDS,
     "mean_neighbour_distances($self, num_neighbours, query_points=None, num_threads=0, progress=False)\n--\n\n"
     "Mean distance of each query point (each search point when None) to its k nearest\n"
     "other points, missing ones counted at the radius, float64"},
    {"statistical_outliers", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_statistical_outliers)),
     METH_FASTCALL | METH_KEYWORDS,
     "statistical_outliers($self, num_neighbours, std_ratio, num_threads=0, progress=False)\n--\n\n"
     "(flags, mean, std, threshold): search points whose mean neighbour distance exceeds\n"
     "the cloud's mean plus std_ratio sample standard deviations"},
    {"pair_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_pair_counts)),
     METH_FASTCALL | METH_KEYWORDS,
     "pair_counts($self, num_threads=0, progress=False)\n--\n\n"
     "For each search point by position, its partners within the radius of higher position"},
    {"pairs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_pairs)), METH_FASTCALL | METH_KEYWORDS,
     "pairs($self, first, last, counts, num_threads=0)\n--\n\n"
     "The pairs (i, j), i < j, of the points at positions [first, last), whose pair_counts\n"
     "are `counts`: int64 (M, 2)"},
    {"__setstate__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_setstate)),
     METH_FASTCALL | METH_KEYWORDS,
     "__setstate__($self, state)\n--\n\nImplement deserialisation (unpickling) for KesraNNS objects"},
    {"__getstate__", engine_getstate, METH_NOARGS,
     "__getstate__($self)\n--\n\nImplement serialisation (pickling) for KesraNNS objects"},
    {"__getnewargs__", engine_getnewargs, METH_NOARGS,
     "__getnewargs__($self)\n--\n\nArguments pickle passes to `__new__` before `__setstate__` restores the real\n"
     "state. An empty pointcloud keeps that placeholder construction trivial"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_mp_length, reinterpret_cast<void*>(engine_len)},
    {Py_tp_getset, engine_getset},
    {Py_tp_methods, engine_methods},
    {Py_tp_doc, const_cast<char*>(
                    "KesraNNSEngine(search_points, max_dist, method=\"voxel\", cells_per_radius=1, "
                    "subtree_threshold=64, graph_degree=16)\n--\n\n"
                    "Native fixed-radius neighbour search engine behind `kesra.nns.KesraNNS`")},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "kesra.KesraNNSEngine",
    sizeof(EngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    engine_slots,
};

}  // namespace

PyObject* engine_type() {
    // Created once per process and reused by every module execution.
    static PyObject* type = PyType_FromSpec(&engine_spec);
    return type;
}

}  // namespace kesra::py
