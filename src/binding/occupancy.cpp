// _sample_occupancy: the private look at a cloud that the package's automatic choice of
// method reads. Not in __all__.
#include "binding/arguments.hpp"
#include "binding/py_ref.hpp"
#include "binding/worker_pool_call.hpp"
#include "index/occupancy_sample.hpp"

namespace kesra::py {

namespace {

const char* const names[] = {"search_points", "max_dist", "sample"};
const Signature signature{"_sample_occupancy", names, 3, 3};

PyObject* sample_occupancy_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!bind(signature, args, nargs, kwnames, a)) return nullptr;
    PointsView points;
    float max_dist = 0.0f;
    std::size_t sample = 0;
    if (!to_points_view(a[0], "search_points", points) || !to_f32(a[1], "max_dist", max_dist) ||
        !to_usize(a[2], "sample", sample))
        return nullptr;
    if (!check_three_columns(points, "search_points")) return nullptr;
    if (!(max_dist > 0.0f)) {
        PyErr_SetString(PyExc_ValueError, "max_dist must be positive");
        return nullptr;
    }
    OccupancySample s;
    if (!run_detached([&] { s = sample_occupancy(points, max_dist, sample); })) return nullptr;
    return Py_BuildValue("(dddn)", s.crowding, s.alone, s.fraction, static_cast<Py_ssize_t>(s.sampled));
}

PyMethodDef sample_def = {
    "_sample_occupancy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sample_occupancy_py)),
    METH_FASTCALL | METH_KEYWORDS,
    "_sample_occupancy(search_points, max_dist, sample)\n--\n\n"
    "How crowded the cells of edge max_dist are, from up to `sample` rows drawn at random\n"
    "with a fixed seed: (crowding, alone, fraction, sampled). crowding estimates the points\n"
    "in the typical point's cell; alone is the share of sampled points with no other\n"
    "sampled point in their cell; fraction is the share of rows sampled"};

}  // namespace

int add_sample_occupancy(PyObject* module, PyObject* module_name) {
    Ref function(PyCFunction_NewEx(&sample_def, module, module_name));
    if (!function) return -1;
    return PyObject_SetAttrString(module, "_sample_occupancy", function.get());
}

}  // namespace kesra::py
