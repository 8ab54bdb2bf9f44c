// radius_outliers, mean_neighbour_distances and statistical_outliers: outlier flags of
// query points, or of the engine's own points when no queries are given.
#include <cmath>

#include "binding/arguments.hpp"
#include "binding/claim.hpp"
#include "binding/engine_object.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_arrays.hpp"
#include "binding/worker_pool_call.hpp"
#include "query/outliers.hpp"

namespace kesra::py {

namespace {

const char* const radius_names[] = {"min_neighbours", "query_points", "num_threads", "progress"};
const Signature radius_signature{"KesraNNSEngine.radius_outliers", radius_names, 4, 1};

const char* const means_names[] = {"num_neighbours", "query_points", "num_threads", "progress"};
const Signature means_signature{"KesraNNSEngine.mean_neighbour_distances", means_names, 4, 1};

const char* const statistical_names[] = {"num_neighbours", "std_ratio", "num_threads", "progress"};
const Signature statistical_signature{"KesraNNSEngine.statistical_outliers", statistical_names, 4, 2};

// None (or not given): the engine's own points; otherwise an (M, 3) float32 array.
bool to_optional_queries(PyObject* obj, PointsView& view, const PointsView*& out) {
    out = nullptr;
    if (obj == nullptr || obj == Py_None) return true;
    if (!to_points_view(obj, "query_points", view) || !check_three_columns(view, "query_points")) return false;
    out = &view;
    return true;
}

std::size_t rows_of(const PointsView* queries, const Engine& engine) {
    return queries != nullptr ? queries->rows : backend_size(engine.backend);
}

}  // namespace

PyObject* engine_radius_outliers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!bind(radius_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    std::size_t limit = 0, num_threads = 0;
    bool progress = false;
    PointsView view;
    const PointsView* queries = nullptr;
    if (!to_usize(a[0], "min_neighbours", limit) || !to_optional_queries(a[1], view, queries) ||
        (a[2] && !to_usize(a[2], "num_threads", num_threads)) || (a[3] && !to_bool(a[3], "progress", progress)))
        return nullptr;
    const Engine& engine = *as_engine(self)->engine;
    OutputBuffer<std::uint8_t> flags;
    const std::size_t rows = rows_of(queries, engine);
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        flags = fewer_than(pool, engine.backend, queries, engine.max_dist, limit, progress);
    }, rows);
    if (!ok) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(rows)};
    return to_array(flags, NPY_BOOL, 1, dims);
}

PyObject* engine_mean_neighbour_distances(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    PyObject* a[4];
    if (!bind(means_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    std::size_t k = 0, num_threads = 0;
    bool progress = false;
    PointsView view;
    const PointsView* queries = nullptr;
    if (!to_usize(a[0], "num_neighbours", k) || !to_optional_queries(a[1], view, queries) ||
        (a[2] && !to_usize(a[2], "num_threads", num_threads)) || (a[3] && !to_bool(a[3], "progress", progress)))
        return nullptr;
    if (k == 0) {
        PyErr_SetString(PyExc_ValueError, "num_neighbours must be at least 1");
        return nullptr;
    }
    const Engine& engine = *as_engine(self)->engine;
    OutputBuffer<double> means;
    const std::size_t rows = rows_of(queries, engine);
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        means = mean_neighbour_distances(pool, engine.backend, queries, engine.max_dist, k, progress);
    }, rows);
    if (!ok) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(rows)};
    return to_array(means, NPY_FLOAT64, 1, dims);
}

PyObject* engine_statistical_outliers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!bind(statistical_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    std::size_t k = 0, num_threads = 0;
    bool progress = false;
    if (!to_usize(a[0], "num_neighbours", k) || (a[2] && !to_usize(a[2], "num_threads", num_threads)) ||
        (a[3] && !to_bool(a[3], "progress", progress)))
        return nullptr;
    const double ratio = PyFloat_AsDouble(a[1]);
    if (ratio == -1.0 && PyErr_Occurred()) return nullptr;
    if (k == 0 || !std::isfinite(ratio)) {
        PyErr_SetString(PyExc_ValueError, "num_neighbours must be at least 1 and std_ratio finite");
        return nullptr;
    }
    const Engine& engine = *as_engine(self)->engine;
    StatisticalOutliers result;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        result = statistical_outliers(pool, engine.backend, engine.max_dist, k, ratio, progress);
    }, backend_size(engine.backend));
    if (!ok) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(backend_size(engine.backend))};
    Ref flags(to_array(result.flags, NPY_BOOL, 1, dims));
    if (!flags) return nullptr;
    return Py_BuildValue("(Oddd)", flags.get(), result.mean, result.std, result.threshold);
}

}  // namespace kesra::py
