// Pickling support of KesraNNSEngine: __getstate__, __setstate__ and __getnewargs__.
// All three run with the interpreter attached and start no worker threads.
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "base/errors.hpp"
#include "state/engine_state.hpp"
#include "binding/arguments.hpp"
#include "binding/claim.hpp"
#include "binding/engine_object.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/worker_pool_call.hpp"

namespace kesra::py {

namespace {

const char* const setstate_names[] = {"state"};
const Signature setstate_signature{"KesraNNSEngine.__setstate__", setstate_names, 1, 1};

}  // namespace

PyObject* engine_getstate(PyObject* self, PyObject*) {
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    const Engine& engine = *as_engine(self)->engine;
    try {
        const std::size_t size = encoded_size(engine);
        Ref bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) return nullptr;
        encode_engine(engine, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size);
        return bytes.release();
    } catch (...) {
        // Encoding has no failure of its own; anything that does go wrong is reported
        // with the encoder's message.
        return raise_current(PyExc_ValueError);
    }
}

PyObject* engine_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    ExclusiveClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    PyObject* state = nullptr;
    if (!bind(setstate_signature, args, nargs, kwnames, &state) || !to_bytes(state, "state")) return nullptr;
    std::unique_ptr<Engine> decoded;
    try {
        // Bytes objects are immutable: reading them needs no lock.
        decoded = std::make_unique<Engine>(decode_engine(
            reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(state)), static_cast<std::size_t>(PyBytes_GET_SIZE(state))));
    } catch (...) {
        return raise_current(internal_error_type());
    }
    // Replaced in one step; the old content is released after.
    std::unique_ptr<Engine> old(as_engine(self)->engine);
    as_engine(self)->engine = decoded.release();
    Py_RETURN_NONE;
}

PyObject* engine_getnewargs(PyObject* self, PyObject*) {
    SharedClaim claim(as_engine(self)->claim);
    if (!claim) return nullptr;
    const Engine& engine = *as_engine(self)->engine;
    npy_intp dims[2] = {0, 3};
    Ref points(PyArray_SimpleNew(2, dims, NPY_FLOAT32));
    if (!points) return nullptr;
    Ref method(PyUnicode_FromStringAndSize(engine.method.data(), static_cast<Py_ssize_t>(engine.method.size())));
    if (!method) return nullptr;
    return Py_BuildValue("(OdOIKK)", points.get(), static_cast<double>(engine.max_dist), method.get(),
                         static_cast<unsigned int>(engine.cells_per_radius),
                         static_cast<unsigned long long>(engine.subtree_threshold),
                         static_cast<unsigned long long>(engine.graph_degree));
}

}  // namespace kesra::py
