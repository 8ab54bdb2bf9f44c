#pragma once
// Result buffers handed to NumPy without a copy.
#include <cstdlib>

#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "query/output_buffer.hpp"

namespace kesra::py {

inline void free_buffer(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, "kesra.buffer")); }

// Wraps a malloc'ed buffer as a new C-contiguous writeable array that owns it.
template <class T>
inline PyObject* to_array(OutputBuffer<T>& buffer, int type_num, int ndim, npy_intp* dims) {
    Ref array(PyArray_SimpleNewFromData(ndim, dims, type_num, buffer.data()));
    if (!array) return nullptr;
    Ref capsule(PyCapsule_New(buffer.data(), "kesra.buffer", free_buffer));
    if (!capsule) return nullptr;
    buffer.release();
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace kesra::py
