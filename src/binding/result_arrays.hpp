#pragma once
// Result buffers handed to NumPy without a copy.
#include <cstdint>
#include <cstdlib>

#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "query/output_buffer.hpp"

namespace kesra::py {

// The capsule's context holds the buffer's mapped_bytes (0: allocated storage).
inline void free_buffer(PyObject* capsule) {
    free_storage(PyCapsule_GetPointer(capsule, "kesra.buffer"),
                 reinterpret_cast<std::uintptr_t>(PyCapsule_GetContext(capsule)));
}

// Wraps an OutputBuffer's storage as a new C-contiguous writeable array that owns it.
template <class T>
inline PyObject* to_array(OutputBuffer<T>& buffer, int type_num, int ndim, npy_intp* dims) {
    Ref array(PyArray_SimpleNewFromData(ndim, dims, type_num, buffer.data()));
    if (!array) return nullptr;
    Ref capsule(PyCapsule_New(buffer.data(), "kesra.buffer", free_buffer));
    if (!capsule) return nullptr;
    if (PyCapsule_SetContext(capsule.get(), reinterpret_cast<void*>(buffer.mapped_bytes())) < 0) return nullptr;
    buffer.release();
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace kesra::py
