// find_all_neighbours and neighbour_counts: every neighbour within the radius in
// compressed rows, and the exact counts that size them.
#include <string>

#include "binding/arguments.hpp"
#include "binding/claim.hpp"
#include "binding/engine_object.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_arrays.hpp"
#include "binding/worker_pool_call.hpp"
#include "query/all_neighbours.hpp"

namespace kesra::py {

namespace {

const char* const find_all_names[] = {"query_points", "sort", "num_threads", "progress", "counts"};
const Signature find_all_signature{"KesraNNSEngine.find_all_neighbours", find_all_names, 5, 1};

const char* const counts_names[] = {"query_points", "num_threads", "progress"};
const Signature counts_signature{"KesraNNSEngine.neighbour_counts", counts_names, 3, 1};

// `obj` as a C-contiguous int64 array of `rows` entries (a copy when it is not one).
bool to_counts(PyObject* obj, std::size_t rows, Ref& out) {
    out = Ref(PyArray_FROMANY(obj, NPY_INT64, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!out) return fail_with_note("counts");
    const auto n = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(out.get()), 0));
    if (n != rows) {
        const std::string msg = "counts must have one entry per query row: got " + std::to_string(n) + " for " +
                                std::to_string(rows) + " rows";
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return fail_with_note("counts");
    }
    return true;
}

}  // namespace

PyObject* engine_find_all_neighbours(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!bind(find_all_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    PointsView queries;
    bool sort = true, progress = false;
    std::size_t num_threads = 0;
    if (!to_points_view(a[0], "query_points", queries) || (a[1] && !to_bool(a[1], "sort", sort)) ||
        (a[2] && !to_usize(a[2], "num_threads", num_threads)) || (a[3] && !to_bool(a[3], "progress", progress)))
        return nullptr;
    if (!check_three_columns(queries, "query_points")) return nullptr;
    Ref counts_array;
    if (a[4] != nullptr && a[4] != Py_None && !to_counts(a[4], queries.rows, counts_array)) return nullptr;
    const auto* counts = counts_array ? static_cast<const std::int64_t*>(PyArray_DATA(
                                            reinterpret_cast<PyArrayObject*>(counts_array.get())))
                                      : nullptr;

    const Engine& engine = *as_engine(self)->engine;
    AllNeighboursResult result;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        result = find_all_neighbours(pool, engine.backend, queries, engine.max_dist, sort, progress, counts);
    }, queries.rows);
    if (!ok) return nullptr;
    npy_intp rows[1] = {static_cast<npy_intp>(queries.rows + 1)};
    npy_intp pairs[1] = {static_cast<npy_intp>(result.offsets.data()[queries.rows])};
    Ref offsets(to_array(result.offsets, NPY_INT64, 1, rows));
    if (!offsets) return nullptr;
    Ref indices(to_array(result.indices, NPY_INT32, 1, pairs));
    if (!indices) return nullptr;
    Ref distances(to_array(result.distances, NPY_FLOAT32, 1, pairs));
    if (!distances) return nullptr;
    return PyTuple_Pack(3, offsets.get(), indices.get(), distances.get());
}

PyObject* engine_neighbour_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!bind(counts_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    PointsView queries;
    std::size_t num_threads = 0;
    bool progress = false;
    if (!to_points_view(a[0], "query_points", queries) || (a[1] && !to_usize(a[1], "num_threads", num_threads)) ||
        (a[2] && !to_bool(a[2], "progress", progress)))
        return nullptr;
    if (!check_three_columns(queries, "query_points")) return nullptr;

    const Engine& engine = *as_engine(self)->engine;
    OutputBuffer<std::int64_t> counts;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        counts = neighbour_counts(pool, engine.backend, queries, engine.max_dist, progress);
    }, queries.rows);
    if (!ok) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(queries.rows)};
    return to_array(counts, NPY_INT64, 1, dims);
}

}  // namespace kesra::py
