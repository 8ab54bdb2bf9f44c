// dbscan, pair_counts and pairs over the engine's own points.
#include <string>

#include "binding/arguments.hpp"
#include "binding/claim.hpp"
#include "binding/engine_object.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_arrays.hpp"
#include "binding/worker_pool_call.hpp"
#include "query/clusters.hpp"
#include "query/pairs.hpp"

namespace kesra::py {

namespace {

const char* const dbscan_names[] = {"min_samples", "min_cluster_size", "num_threads", "progress", "core"};
const Signature dbscan_signature{"KesraNNSEngine.dbscan", dbscan_names, 5, 1};

const char* const counts_names[] = {"num_threads", "progress"};
const Signature counts_signature{"KesraNNSEngine.pair_counts", counts_names, 2, 0};

const char* const pairs_names[] = {"first", "last", "counts", "num_threads"};
const Signature pairs_signature{"KesraNNSEngine.pairs", pairs_names, 4, 3};

// `obj` as a C-contiguous one-dimensional array of `type` with `rows` entries.
bool to_column(PyObject* obj, int type, std::size_t rows, const char* name, Ref& out) {
    out = Ref(PyArray_FROMANY(obj, type, 1, 1, NPY_ARRAY_IN_ARRAY));
    if (!out) return fail_with_note(name);
    const auto n = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(out.get()), 0));
    if (n != rows) {
        const std::string msg = std::string(name) + " must have " + std::to_string(rows) + " entries, got " +
                                std::to_string(n);
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return fail_with_note(name);
    }
    return true;
}

template <class T>
const T* data_of(const Ref& array) {
    return array ? static_cast<const T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get()))) : nullptr;
}

}  // namespace

PyObject* engine_dbscan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!bind(dbscan_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    std::size_t min_samples = 0, min_cluster_size = 1, num_threads = 0;
    bool progress = false;
    if (!to_usize(a[0], "min_samples", min_samples) ||
        (a[1] && !to_usize(a[1], "min_cluster_size", min_cluster_size)) ||
        (a[2] && !to_usize(a[2], "num_threads", num_threads)) || (a[3] && !to_bool(a[3], "progress", progress)))
        return nullptr;
    const Engine& engine = *as_engine(self)->engine;
    const std::size_t n = backend_size(engine.backend);
    Ref core;
    if (a[4] != nullptr && a[4] != Py_None && !to_column(a[4], NPY_BOOL, n, "core", core)) return nullptr;
    ClustersResult result;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        result = dbscan(pool, engine.backend, engine.max_dist, min_samples, min_cluster_size,
                        data_of<std::uint8_t>(core), progress);
    }, n);
    if (!ok) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    Ref labels(to_array(result.labels, NPY_INT64, 1, dims));
    if (!labels) return nullptr;
    Ref flags(to_array(result.core, NPY_BOOL, 1, dims));
    if (!flags) return nullptr;
    return PyTuple_Pack(2, labels.get(), flags.get());
}

PyObject* engine_pair_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!bind(counts_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    std::size_t num_threads = 0;
    bool progress = false;
    if ((a[0] && !to_usize(a[0], "num_threads", num_threads)) || (a[1] && !to_bool(a[1], "progress", progress)))
        return nullptr;
    const Engine& engine = *as_engine(self)->engine;
    const std::size_t n = backend_size(engine.backend);
    OutputBuffer<std::int64_t> counts;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        counts = pair_counts(pool, engine.backend, engine.max_dist, progress);
    }, n);
    if (!ok) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return to_array(counts, NPY_INT64, 1, dims);
}

PyObject* engine_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!bind(pairs_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    std::size_t first = 0, last = 0, num_threads = 0;
    if (!to_usize(a[0], "first", first) || !to_usize(a[1], "last", last) ||
        (a[3] && !to_usize(a[3], "num_threads", num_threads)))
        return nullptr;
    const Engine& engine = *as_engine(self)->engine;
    const std::size_t n = backend_size(engine.backend);
    if (first > last || last > n) {
        const std::string msg = "positions [" + std::to_string(first) + ", " + std::to_string(last) +
                                ") are not within [0, " + std::to_string(n) + "]";
        PyErr_SetString(PyExc_ValueError, msg.c_str());
        return nullptr;
    }
    Ref counts;
    if (!to_column(a[2], NPY_INT64, last - first, "counts", counts)) return nullptr;
    OutputBuffer<std::int64_t> pairs;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        pairs = pairs_of(pool, engine.backend, engine.max_dist, first, last, data_of<std::int64_t>(counts));
    }, last - first);
    if (!ok) return nullptr;
    npy_intp dims[2] = {static_cast<npy_intp>(pairs.size() / 2), 2};
    return to_array(pairs, NPY_INT64, 2, dims);
}

}  // namespace kesra::py
