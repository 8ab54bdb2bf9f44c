#include "binding/arguments.hpp"

#include <cstring>
#include <string>

#include "engine/messages.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/python_compat.hpp"

namespace kesra::py {

namespace {

bool binding_error(const Signature& sig, const std::string& what) {
    PyErr_Format(PyExc_TypeError, "%s() %s", sig.function, what.c_str());
    return false;
}

bool finish_binding(const Signature& sig, PyObject** out) {
    std::string missing;
    int n = 0;
    for (Py_ssize_t i = 0; i < sig.required; ++i) {
        if (out[i] != nullptr) continue;
        missing += (n == 0 ? "'" : "', '");
        missing += sig.names[i];
        ++n;
    }
    if (n == 0) return true;
    missing += "'";
    if (n > 1) {
        // "'a', 'b'" -> "'a' and 'b'"
        const auto last = missing.rfind(", ");
        missing.replace(last, 2, " and ");
    }
    return binding_error(sig, "missing " + std::to_string(n) + " required positional argument" + (n > 1 ? "s" : "") +
                                  ": " + missing);
}

bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** out) {
    if (!PyUnicode_Check(key)) return binding_error(sig, "keywords must be strings");
    const char* name = PyUnicode_AsUTF8(key);
    if (name == nullptr) return false;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (std::strcmp(name, sig.names[i]) != 0) continue;
        if (out[i] != nullptr) return binding_error(sig, std::string("got multiple values for argument '") + name + "'");
        out[i] = value;
        return true;
    }
    return binding_error(sig, std::string("got an unexpected keyword argument '") + name + "'");
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = nullptr;
    if (nargs > sig.count) {
        return binding_error(sig, "takes " + std::to_string(sig.count) + " positional arguments but " +
                                      std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    return true;
}

std::string describe(PyObject* obj) {
    if (PyArray_Check(obj)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        Ref dtype(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr))));
        std::string text = "numpy.ndarray of ";
        text += dtype ? PyUnicode_AsUTF8(dtype.get()) : "?";
        if (!dtype) PyErr_Clear();
        return text + " with " + std::to_string(PyArray_NDIM(arr)) + " dimension" + (PyArray_NDIM(arr) == 1 ? "" : "s");
    }
    return Py_TYPE(obj)->tp_name;
}

}  // namespace

bool fail_with_note(const char* name) {
    PyObject* exc = PyErr_GetRaisedException();
    if (exc == nullptr) return false;
    const std::string note = std::string("while processing '") + name + "'";
    Ref result(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
    if (!result) {
        Py_DECREF(exc);
        return false;
    }
    PyErr_SetRaisedException(exc);
    return false;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!bind_positional(sig, args, nargs, out)) return false;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    return finish_binding(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out)) return false;
    if (kwargs != nullptr) {
        // The dict belongs to this call alone; iterating it needs no lock.
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(sig, key, value, out)) return false;
    }
    return finish_binding(sig, out);
}

bool to_f32(PyObject* obj, const char* name, float& out) {
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return fail_with_note(name);
    out = static_cast<float>(value);
    return true;
}

bool to_optional_f32(PyObject* obj, const char* name, std::optional<float>& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    float value = 0.0f;
    if (!to_f32(obj, name, value)) return false;
    out = value;
    return true;
}

bool to_usize(PyObject* obj, const char* name, std::size_t& out) {
    Ref index(PyNumber_Index(obj));
    if (!index) return fail_with_note(name);
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) return fail_with_note(name);
    out = value;
    return true;
}

bool to_u32(PyObject* obj, const char* name, std::uint32_t& out) {
    std::size_t value = 0;
    if (!to_usize(obj, name, value)) return false;
    if (value > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return fail_with_note(name);
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

bool to_bool(PyObject* obj, const char* name, bool& out) {
    if (PyBool_Check(obj) || PyArray_IsScalar(obj, Bool)) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) return fail_with_note(name);
        out = truth == 1;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected bool, got %s", Py_TYPE(obj)->tp_name);
    return fail_with_note(name);
}

bool to_utf8(PyObject* obj, const char* name, std::string& out) {
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "expected str, got %s", Py_TYPE(obj)->tp_name);
        return fail_with_note(name);
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return fail_with_note(name);
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool to_bytes(PyObject* obj, const char* name) {
    if (PyBytes_Check(obj)) return true;
    if (obj == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'None' is not an instance of 'bytes'");
        return fail_with_note(name);
    }
    Ref qualname(PyType_GetQualName(Py_TYPE(obj)));
    if (!qualname) return fail_with_note(name);
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of 'bytes'", qualname.get());
    return fail_with_note(name);
}

bool to_points_view(PyObject* obj, const char* name, PointsView& out) {
    bool ok = PyArray_Check(obj);
    if (ok) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        ok = PyArray_NDIM(arr) == 2 && PyArray_DESCR(arr)->type_num == NPY_FLOAT32 && PyArray_ISNOTSWAPPED(arr);
        if (ok) {
            out.data = static_cast<const char*>(PyArray_DATA(arr));
            out.rows = static_cast<std::size_t>(PyArray_DIM(arr, 0));
            out.cols = static_cast<std::size_t>(PyArray_DIM(arr, 1));
            out.row_stride = PyArray_STRIDE(arr, 0);
            out.col_stride = PyArray_STRIDE(arr, 1);
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "expected a 2-dimensional numpy.ndarray of float32, got %s", describe(obj).c_str());
    return fail_with_note(name);
}

bool check_three_columns(const PointsView& view, const char* name) {
    if (view.cols == 3) return true;
    const std::string msg = std::string(name) + " must have shape (N, 3), got " + format_shape({view.rows, view.cols});
    PyErr_SetString(PyExc_ValueError, msg.c_str());
    return false;
}

}  // namespace kesra::py
