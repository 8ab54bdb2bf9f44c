// find_neighbours and count_neighbours: bind and convert, run the driver on a pool made
// for the call with the interpreter released, and hand the buffers to NumPy uncopied.
#include <optional>

#include "query/query_driver.hpp"
#include "binding/arguments.hpp"
#include "binding/claim.hpp"
#include "binding/engine_object.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_arrays.hpp"
#include "binding/worker_pool_call.hpp"

namespace kesra::py {

namespace {

const char* const find_names[] = {"query_points", "num_neighbours", "num_threads", "epsilon", "progress"};
const Signature find_signature{"KesraNNSEngine.find_neighbours", find_names, 5, 2};

const char* const count_names[] = {"query_points", "num_threads", "distance_weight_factor", "progress"};
const Signature count_signature{"KesraNNSEngine.count_neighbours", count_names, 4, 1};

}  // namespace

PyObject* engine_find_neighbours(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!bind(find_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    PointsView queries;
    std::size_t k = 0, num_threads = 0;
    float epsilon = 0.0f;
    bool progress = false;
    if (!to_points_view(a[0], "query_points", queries) || !to_usize(a[1], "num_neighbours", k) ||
        (a[2] && !to_usize(a[2], "num_threads", num_threads)) || (a[3] && !to_f32(a[3], "epsilon", epsilon)) ||
        (a[4] && !to_bool(a[4], "progress", progress)))
        return nullptr;
    if (!check_three_columns(queries, "query_points")) return nullptr;
    // NumPy cannot describe a row of k elements whose size in bytes overflows its index
    // type, not even with zero rows; refuse it as the driver refuses a too large result.
    if (k > static_cast<std::size_t>(NPY_MAX_INTP) / sizeof(float)) {
        PyErr_SetString(internal_error_type(), "result array size in bytes cannot be represented");
        return nullptr;
    }

    const Engine& engine = *as_engine(self)->engine;
    NeighbourResult result;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        result = find_neighbours(pool, engine.backend, queries, k, engine.max_dist, epsilon, progress);
    }, queries.rows);
    if (!ok) return nullptr;
    npy_intp dims[2] = {static_cast<npy_intp>(queries.rows), static_cast<npy_intp>(k)};
    Ref indices(to_array(result.indices, NPY_INT32, 2, dims));
    if (!indices) return nullptr;
    Ref distances(to_array(result.distances, NPY_FLOAT32, 2, dims));
    if (!distances) return nullptr;
    return PyTuple_Pack(2, indices.get(), distances.get());
}

PyObject* engine_count_neighbours(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!bind(count_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    PointsView queries;
    std::size_t num_threads = 0;
    std::optional<float> weight;
    bool progress = false;
    if (!to_points_view(a[0], "query_points", queries) || (a[1] && !to_usize(a[1], "num_threads", num_threads)) ||
        !to_optional_f32(a[2], "distance_weight_factor", weight) || (a[3] && !to_bool(a[3], "progress", progress)))
        return nullptr;
    if (weight && *weight < 0.0f) {
        PyErr_SetString(PyExc_ValueError, "distance_weight_factor must be non-negative");
        return nullptr;
    }
    if (!check_three_columns(queries, "query_points")) return nullptr;

    const Engine& engine = *as_engine(self)->engine;
    OutputBuffer<float> counts;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        counts = count_neighbours(pool, engine.backend, queries, engine.max_dist, weight, progress);
    }, queries.rows);
    if (!ok) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(queries.rows)};
    return to_array(counts, NPY_FLOAT32, 1, dims);
}

}  // namespace kesra::py
