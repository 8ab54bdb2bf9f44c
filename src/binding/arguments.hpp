#pragma once
// Argument binding and conversion shared by every entry point. Binding follows the
// usual Python rules (positional or keyword, defaults, no duplicates); each conversion
// failure carries the note "while processing '<name>'".
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

#include "base/points_view.hpp"

namespace kesra::py {

struct Signature {
    const char* function;           // e.g. "KesraNNSEngine.find_neighbours"
    const char* const* names;       // parameter names
    Py_ssize_t count;               // number of parameters
    Py_ssize_t required;            // leading required parameters
};

// Binds vectorcall-style arguments into `out` (borrowed references, nullptr when not
// given). Returns false with TypeError set on failure.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and an optional dict (type construction).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Adds the note "while processing '<name>'" to the exception being raised; returns false.
bool fail_with_note(const char* name);

// Conversions: on failure they return false with an exception set and the note added.
bool to_f32(PyObject* obj, const char* name, float& out);
bool to_u32(PyObject* obj, const char* name, std::uint32_t& out);
bool to_usize(PyObject* obj, const char* name, std::size_t& out);
bool to_bool(PyObject* obj, const char* name, bool& out);
bool to_utf8(PyObject* obj, const char* name, std::string& out);
// A bytes object (or an instance of a subclass); `obj` itself is the result.
bool to_bytes(PyObject* obj, const char* name);
bool to_optional_f32(PyObject* obj, const char* name, std::optional<float>& out);
// A 2-D native float32 NumPy array, read in place (any strides).
bool to_points_view(PyObject* obj, const char* name, PointsView& out);
// ValueError "<name> must have shape (N, 3), got [a, b]" unless the view has 3 columns.
bool check_three_columns(const PointsView& view, const char* name);

}  // namespace kesra::py
