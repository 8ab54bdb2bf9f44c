// indices_by_field: the row numbers of every group id, in ascending row order, with
// the ids and the expected counts checked against each other both ways.
#include <cstdint>
#include <memory>
#include <new>

#include "binding/arguments.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/python_compat.hpp"

namespace kesra::py {

extern const char indices_by_field_doc[];
const char indices_by_field_doc[] =
    "indices_by_field(row_ids, counts)\n--\n\n"
    "Native engine for computing the row indices of each unique value in a field or fields of a pointcloud\n\n"
    "Runs in O(n+u) time: one pass over `counts` to size each id's output array, then a\n"
    "single sequential pass over `row_ids`, writing each row index into its id's array\n"
    "via a per-id write cursor\n\n"
    "The contract is checked both ways: every id must be a valid index into `counts`, and\n"
    "`counts[id]` must equal exactly the number of rows carrying that id. Anything else\n"
    "raises `ValueError` rather than returning an array padded with phantom row-0 indices\n\n"
    "Args:\n"
    "    row_ids: The group id of every row of the pointcloud (one entry per row, values\n"
    "        in `0..len(counts)`)\n"
    "    counts: How many rows carry each id\n\n"
    "Returns:\n"
    "    Dict mapping each id to the row indices carrying it, in ascending row order";

namespace {

const char* const names[] = {"row_ids", "counts"};
const Signature signature{"indices_by_field", names, 2, 2};

struct Int64View {
    const char* data;
    std::size_t size;
    std::ptrdiff_t stride;
    std::int64_t operator[](std::size_t i) const {
        return *reinterpret_cast<const std::int64_t*>(data + static_cast<std::ptrdiff_t>(i) * stride);
    }
};

bool to_int64_view(PyObject* obj, const char* name, Int64View& out) {
    if (PyArray_Check(obj)) {
        auto* arr = reinterpret_cast<PyArrayObject*>(obj);
        // Any dtype equivalent to int64 (long long as well as long), in native byte order.
        if (PyArray_NDIM(arr) == 1 && PyArray_EquivTypenums(PyArray_DESCR(arr)->type_num, NPY_INT64) &&
            PyArray_ISNOTSWAPPED(arr)) {
            out = {static_cast<const char*>(PyArray_DATA(arr)), static_cast<std::size_t>(PyArray_DIM(arr, 0)),
                   PyArray_STRIDE(arr, 0)};
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "expected a 1-dimensional numpy.ndarray of int64, got %s",
                 PyArray_Check(obj) ? "an array of another dtype or dimension" : Py_TYPE(obj)->tp_name);
    return fail_with_note(name);
}

// Row numbers are below 2^63, so this value in a buffer's last slot marks the slot that
// completes the id: one write pointer per id then suffices as the cursor.
constexpr std::uint64_t last_slot = UINT64_MAX;

PyArrayObject* array_of(PyObject* result, std::size_t id) {
    Ref key(PyLong_FromSize_t(id));
    return reinterpret_cast<PyArrayObject*>(key ? PyDict_GetItemWithError(result, key.get()) : nullptr);
}

}  // namespace

PyObject* indices_by_field(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!bind(signature, args, nargs, kwnames, a)) return nullptr;
    Int64View row_ids, counts;
    if (!to_int64_view(a[0], "row_ids", row_ids) || !to_int64_view(a[1], "counts", counts)) return nullptr;

    const std::size_t u = counts.size;
    // Next write position of every id; nullptr once the id has all its rows.
    std::unique_ptr<std::uint64_t*[]> cursors(new (std::nothrow) std::uint64_t*[u == 0 ? 1 : u]);
    if (!cursors) return PyErr_NoMemory();
    // Each id's array is a NumPy array owning its buffer from the start: rows are
    // written straight into the result, and any failure frees them all with the dict.
    Ref result(PyDict_New());
    if (!result) return nullptr;
    for (std::size_t i = 0; i < u; ++i) {
        const std::int64_t count = counts[i];
        if (count < 0) {
            PyErr_Format(PyExc_ValueError, "count of unique id %zu is negative: %lld", i, static_cast<long long>(count));
            return nullptr;
        }
        if (static_cast<std::uint64_t>(count) > static_cast<std::uint64_t>(NPY_MAX_INTP) / sizeof(std::uint64_t))
            return PyErr_NoMemory();
        npy_intp dims[1] = {static_cast<npy_intp>(count)};
        // Zeroed: a stale value equal to the marker would end the id early.
        Ref array(PyArray_ZEROS(1, dims, NPY_UINT64, 0));
        if (!array) return nullptr;
        auto* data = static_cast<std::uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
        if (count > 0) data[count - 1] = last_slot;
        cursors[i] = count > 0 ? data : nullptr;
        Ref key(PyLong_FromSize_t(i));
        if (!key || PyDict_SetItem(result.get(), key.get(), array.get()) < 0) return nullptr;
    }
    std::uint64_t** const cur = cursors.get();
    const std::size_t n = row_ids.size;
    for (std::size_t r = 0; r < n; ++r) {
        // With many ids both the cursor and the slot it points to are cache misses:
        // fetch cursors 16 rows ahead and, once those have arrived, slots 8 rows ahead.
        if (r + 16 < n) {
            const auto ahead = static_cast<std::uint64_t>(row_ids[r + 16]);
            if (ahead < u) __builtin_prefetch(&cur[ahead], 1);
        }
        if (r + 8 < n) {
            const auto ahead = static_cast<std::uint64_t>(row_ids[r + 8]);
            if (ahead < u && cur[ahead]) __builtin_prefetch(cur[ahead], 1);
        }
        const std::int64_t id = row_ids[r];
        if (id < 0 || static_cast<std::uint64_t>(id) >= u) {
            PyErr_Format(PyExc_ValueError, "unique id %lld out of range", static_cast<long long>(id));
            return nullptr;
        }
        std::uint64_t*& slot = cur[id];
        if (!slot) {
            PyErr_Format(PyExc_ValueError, "unique id %lld appears more times than its count",
                         static_cast<long long>(id));
            return nullptr;
        }
        const bool completes = *slot == last_slot;
        *slot = r;
        slot = completes ? nullptr : slot + 1;
    }
    for (std::size_t i = 0; i < u; ++i) {
        if (cur[i]) {
            PyArrayObject* array = array_of(result.get(), i);
            if (!array) return nullptr;
            const auto seen = static_cast<std::size_t>(cur[i] - static_cast<std::uint64_t*>(PyArray_DATA(array)));
            PyErr_Format(PyExc_ValueError, "unique id %zu appears %zu times but its count is %zu", i, seen,
                         static_cast<std::size_t>(PyArray_DIM(array, 0)));
            return nullptr;
        }
    }
    return result.release();
}

}  // namespace kesra::py
