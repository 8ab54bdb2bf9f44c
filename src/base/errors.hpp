#pragma once
// Failures raised by the core. The binding maps each to a Python exception:
// InvalidArgument -> ValueError, InternalError -> the module's internal error,
// std::bad_alloc and OutOfMemory -> MemoryError.
#include <stdexcept>
#include <string>

namespace kesra {

// A broken invariant that is not the caller's fault (e.g. an index out of range in
// a corrupted restored structure).
class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A value the caller passed that breaks a rule checked inside the core.
class InvalidArgument : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A result too large to allocate, with a message that says how large (MemoryError).
class OutOfMemory : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws InternalError(what) unless `ok` holds. Used for every index read from data
// that may come from a restored state.
inline void check(bool ok, const char* what) {
    if (!ok) [[unlikely]]
        throw InternalError(what);
}

}  // namespace kesra
