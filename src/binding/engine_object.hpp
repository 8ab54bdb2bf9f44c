#pragma once
// The Python object behind KesraNNSEngine and the pieces its method files share.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "engine/engine.hpp"

namespace kesra::py {

struct EngineObject {
    PyObject_HEAD
    std::atomic<std::int64_t> claim;
    // Replaced as a whole, under the exclusive claim, when saved state is restored.
    Engine* engine;
};

inline EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

// The heap type, created on first use and shared by every module execution.
PyObject* engine_type();

// Method implementations that live in their own files.
PyObject* engine_find_neighbours(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_count_neighbours(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_find_all_neighbours(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_neighbour_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_local_geometry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_scale_geometry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_dbscan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_pair_counts(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_pairs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_radius_outliers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_mean_neighbour_distances(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_statistical_outliers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_getstate(PyObject* self, PyObject*);
PyObject* engine_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* engine_getnewargs(PyObject* self, PyObject*);

}  // namespace kesra::py
