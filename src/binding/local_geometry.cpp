// local_geometry and scale_geometry: the shape of each query row's neighbourhood,
// eigenvalues and normal, at one size or at several.
#include <optional>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/claim.hpp"
#include "binding/engine_object.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_arrays.hpp"
#include "binding/worker_pool_call.hpp"
#include "query/local_geometry.hpp"
#include "query/scale_geometry.hpp"

namespace kesra::py {

namespace {

const char* const names[] = {"query_points", "num_neighbours", "all_within", "num_threads", "progress", "viewpoint"};
const Signature signature{"KesraNNSEngine.local_geometry", names, 6, 1};
const char* const scale_names[] = {"query_points", "radii", "num_neighbours", "num_threads", "progress", "viewpoint"};
const Signature scale_signature{"KesraNNSEngine.scale_geometry", scale_names, 6, 1};

// None, or a sequence of three numbers, as a point.
bool to_viewpoint(PyObject* obj, std::optional<Point>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    Ref items(PySequence_Fast(obj, "viewpoint must be a sequence of three numbers or None"));
    if (!items) return fail_with_note("viewpoint");
    if (PySequence_Fast_GET_SIZE(items.get()) != 3) {
        PyErr_SetString(PyExc_ValueError, "viewpoint must have three coordinates");
        return fail_with_note("viewpoint");
    }
    float xyz[3];
    for (Py_ssize_t i = 0; i < 3; ++i)
        if (!to_f32(PySequence_Fast_GET_ITEM(items.get(), i), "viewpoint", xyz[i])) return false;
    out = Point{xyz[0], xyz[1], xyz[2]};
    return true;
}

// None, or a sequence whose items `convert` turns into `out`.
template <class T, class Convert>
bool to_list(PyObject* obj, const char* name, std::vector<T>& out, Convert&& convert) {
    if (obj == nullptr || obj == Py_None) return true;
    Ref items(PySequence_Fast(obj, "must be a sequence or None"));
    if (!items) return fail_with_note(name);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!convert(PySequence_Fast_GET_ITEM(items.get(), i), name, out[static_cast<std::size_t>(i)])) return false;
    return true;
}

// The three arrays of a shape result: eigenvalues and normals of `dims` and counts of
// its leading dimensions.
template <class Result>
PyObject* shape_tuple(Result& result, int ndim, npy_intp* dims) {
    Ref values(to_array(result.eigenvalues, NPY_FLOAT32, ndim, dims));
    if (!values) return nullptr;
    Ref normals(to_array(result.normals, NPY_FLOAT32, ndim, dims));
    if (!normals) return nullptr;
    Ref counts(to_array(result.counts, NPY_INT64, ndim - 1, dims));
    if (!counts) return nullptr;
    return PyTuple_Pack(3, values.get(), normals.get(), counts.get());
}

}  // namespace

PyObject* engine_local_geometry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[6];
    if (!bind(signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    PointsView queries;
    std::size_t k = 16, num_threads = 0;
    bool all_within = false, progress = false;
    std::optional<Point> viewpoint;
    if (!to_points_view(a[0], "query_points", queries) || (a[1] && !to_usize(a[1], "num_neighbours", k)) ||
        (a[2] && !to_bool(a[2], "all_within", all_within)) || (a[3] && !to_usize(a[3], "num_threads", num_threads)) ||
        (a[4] && !to_bool(a[4], "progress", progress)) || !to_viewpoint(a[5], viewpoint))
        return nullptr;
    if (!check_three_columns(queries, "query_points")) return nullptr;

    const Engine& engine = *as_engine(self)->engine;
    LocalGeometryResult result;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        result = local_geometry(pool, engine.backend, queries, k, all_within, engine.max_dist, viewpoint, progress);
    }, queries.rows);
    if (!ok) return nullptr;
    npy_intp dims[2] = {static_cast<npy_intp>(queries.rows), 3};
    return shape_tuple(result, 2, dims);
}

PyObject* engine_scale_geometry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[6];
    if (!bind(scale_signature, args, nargs, kwnames, a)) return nullptr;
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    PointsView queries;
    Scales scales;
    std::size_t num_threads = 0;
    bool progress = false;
    std::optional<Point> viewpoint;
    if (!to_points_view(a[0], "query_points", queries) || !to_list(a[1], "radii", scales.radii, to_f32) ||
        !to_list(a[2], "num_neighbours", scales.ks, to_usize) ||
        (a[3] && !to_usize(a[3], "num_threads", num_threads)) || (a[4] && !to_bool(a[4], "progress", progress)) ||
        !to_viewpoint(a[5], viewpoint))
        return nullptr;
    if (!check_three_columns(queries, "query_points")) return nullptr;

    const Engine& engine = *as_engine(self)->engine;
    ScaleGeometryResult result;
    const bool ok = run_on_worker_pool(num_threads, [&](WorkerPool& pool) {
        result = scale_geometry(pool, engine.backend, queries, scales, engine.max_dist, viewpoint, progress);
    }, queries.rows);
    if (!ok) return nullptr;
    npy_intp dims[3] = {static_cast<npy_intp>(queries.rows), static_cast<npy_intp>(scales.size()), 3};
    return shape_tuple(result, 3, dims);
}

}  // namespace kesra::py
