// _remap_rows: the package's private map from an engine's row numbers to the caller's,
// applied in place to a result the engine has just returned. Indexing with NumPy would
// hold a second array of the result's size (np.take even converts the indices to
// 64 bits first); this holds nothing beyond the result. Not in __all__.
#include <atomic>
#include <cstdint>

#include "base/errors.hpp"
#include "binding/arguments.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/worker_pool_call.hpp"

namespace kesra::py {

namespace {

const char* const names[] = {"row_numbers", "indices", "num_threads"};
const Signature signature{"_remap_rows", names, 3, 2};

constexpr std::size_t REMAP_BLOCK = std::size_t{1} << 16;  // entries per work item

// `obj` as a C-contiguous native int32 array (writeable when asked); nullptr otherwise.
PyArrayObject* int32_array(PyObject* obj, const char* name, bool writeable) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (!PyArray_Check(obj) || !PyArray_EquivTypenums(PyArray_DESCR(arr)->type_num, NPY_INT32) ||
        !PyArray_ISCARRAY_RO(arr) || (writeable && !PyArray_ISWRITEABLE(arr))) {
        PyErr_Format(PyExc_TypeError, "%s must be a C-contiguous%s int32 numpy.ndarray", name,
                     writeable ? " writeable" : "");
        fail_with_note(name);
        return nullptr;
    }
    return arr;
}

PyObject* remap_rows_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!bind(signature, args, nargs, kwnames, a)) return nullptr;
    PyArrayObject* map = int32_array(a[0], "row_numbers", false);
    PyArrayObject* target = map ? int32_array(a[1], "indices", true) : nullptr;
    std::size_t num_threads = 0;
    if (target == nullptr || (a[2] && !to_usize(a[2], "num_threads", num_threads))) return nullptr;
    if (PyArray_NDIM(map) != 1) {
        PyErr_SetString(PyExc_ValueError, "row_numbers must be one-dimensional");
        return nullptr;
    }
    const auto* rows = static_cast<const std::int32_t*>(PyArray_DATA(map));
    const auto known = static_cast<std::int64_t>(PyArray_DIM(map, 0));
    auto* indices = static_cast<std::int32_t*>(PyArray_DATA(target));
    const auto count = static_cast<std::size_t>(PyArray_SIZE(target));

    const auto work = [&](WorkerPool& pool) {
        // Every entry is checked before any is written, so a refusal leaves them all as they were.
        std::atomic<bool> outside{false};
        pool.for_each_block(count, REMAP_BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                if (indices[i] < -1 || indices[i] >= known) outside.store(true, std::memory_order_relaxed);
        });
        if (outside.load()) throw InvalidArgument("indices must be -1 or a row of row_numbers");
        pool.for_each_block(count, REMAP_BLOCK, [&](std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i)
                if (indices[i] >= 0) indices[i] = rows[indices[i]];
        });
    };
    // A result of one block is remapped on the calling thread, without starting threads.
    const std::size_t blocks = (count + REMAP_BLOCK - 1) / REMAP_BLOCK;
    if (!run_on_worker_pool(num_threads, work, blocks <= 1 ? 0 : NOT_A_QUERY)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef remap_def = {
    "_remap_rows", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(remap_rows_py)),
    METH_FASTCALL | METH_KEYWORDS,
    "_remap_rows(row_numbers, indices, num_threads=0)\n--\n\n"
    "Replaces, in place, every entry i >= 0 of the int32 array `indices` by row_numbers[i];\n"
    "-1 stays. Any other entry, or one not below len(row_numbers), raises ValueError before\n"
    "anything is written"};

}  // namespace

int add_remap_rows(PyObject* module, PyObject* module_name) {
    Ref function(PyCFunction_NewEx(&remap_def, module, module_name));
    if (!function) return -1;
    return PyObject_SetAttrString(module, "_remap_rows", function.get());
}

}  // namespace kesra::py
