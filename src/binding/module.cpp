// Module _kesra: multi-phase initialisation, declared safe without the GIL wherever the
// interpreter asks (3.13 and up).
#define KESRA_NUMPY_IMPORT
#include "binding/numpy_api.hpp"

#include "engine/engine.hpp"
#include "binding/engine_object.hpp"
#include "binding/py_ref.hpp"
#include "binding/worker_pool_call.hpp"
#include "binding/python_compat.hpp"

namespace kesra::py {

PyObject* indices_by_field(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char indices_by_field_doc[];
int add_sample_occupancy(PyObject* module, PyObject* module_name);
int add_remap_rows(PyObject* module, PyObject* module_name);

namespace {

PyObject* available_methods(PyObject*, PyObject*) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (std::string_view name : METHOD_NAMES) {
        Ref item(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

PyMethodDef function_defs[] = {
    {"indices_by_field", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(indices_by_field)),
     METH_FASTCALL | METH_KEYWORDS, indices_by_field_doc},
    {"available_methods", available_methods, METH_NOARGS,
     "available_methods()\n--\n\nNames of the search methods compiled into this build"},
};

// Appends `name` to the module's __all__ (creating it) and sets the attribute.
int export_attribute(PyObject* module, const char* name, PyObject* value) {
    Ref all;
    PyObject* existing = nullptr;
    if (PyObject_GetOptionalAttrString(module, "__all__", &existing) < 0) return -1;
    all = Ref(existing);
    if (!all) {
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    }
    Ref key(PyUnicode_FromString(name));
    if (!key || PyList_Append(all.get(), key.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, value);
}

int exec_module(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    PyObject* type = engine_type();
    if (type == nullptr || export_attribute(module, "KesraNNSEngine", type) < 0) return -1;
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& def : function_defs) {
        Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
        if (!function || export_attribute(module, def.ml_name, function.get()) < 0) return -1;
    }
    if (add_sample_occupancy(module, module_name.get()) < 0 || add_remap_rows(module, module_name.get()) < 0)
        return -1;
    // The internal-error type is reachable for callers that want to catch it, but is not
    // part of __all__.
    PyObject* error = internal_error_type();
    if (error == nullptr) return -1;
    return PyObject_SetAttrString(module, "KesraInternalError", error);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_kesra", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace kesra::py

PyMODINIT_FUNC PyInit__kesra() { return PyModuleDef_Init(&kesra::py::module_def); }
