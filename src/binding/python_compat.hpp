#pragma once
// The C API calls of CPython 3.12 and 3.13 that the binding uses, defined for the
// older interpreters it also supports (3.11 and up) with the same behaviour. The
// Py_mod_gil slot (3.13) has no stand-in: before 3.13 every build holds the GIL and the
// module simply leaves the slot out.
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000
// The exception being raised, normalised and with its traceback attached; clears it.
inline PyObject* PyErr_GetRaisedException() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && PyException_SetTraceback(value, traceback) < 0) PyErr_Clear();
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Raises `exc` (a reference this call takes over), or clears the error when it is null.
inline void PyErr_SetRaisedException(PyObject* exc) {
    if (exc == nullptr) {
        PyErr_Clear();
        return;
    }
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc, PyException_GetTraceback(exc));
}
#endif

#if PY_VERSION_HEX < 0x030D0000
// 1 with the attribute in *result, 0 with *result null when there is none, -1 with an
// exception set on any other failure.
inline int PyObject_GetOptionalAttrString(PyObject* obj, const char* name, PyObject** result) {
    *result = PyObject_GetAttrString(obj, name);
    if (*result != nullptr) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}
#endif
