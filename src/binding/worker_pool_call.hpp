#pragma once
// run_on_worker_pool: runs one task on a pool made for the call, with the calling thread
// detached from the interpreter and only waiting. C++ failures come back as Python
// exceptions: InvalidArgument -> ValueError, bad_alloc -> MemoryError, a pool that cannot
// be built and every other failure -> the module's internal error.
#include <Python.h>

#include <cstdint>
#include <functional>

#include "pool/worker_pool.hpp"

namespace kesra::py {

// The internal-error exception type (derives from BaseException), created once.
PyObject* internal_error_type();

// Sets the Python exception for the C++ exception being handled (call it inside a catch
// block) and returns nullptr: InvalidArgument -> ValueError, bad_alloc -> MemoryError,
// anything else -> `other` with its message, or `unknown` when it has none.
PyObject* raise_current(PyObject* other, const char* unknown = "unknown failure");

// Runs `work` on the calling thread, detached from the interpreter; returns false with the
// Python exception set (as for run_on_worker_pool) when it threw.
bool run_detached(const std::function<void()>& work);

// Returns false with a Python exception set when the task failed. A query of
// `query_rows` that fit one chunk runs on the calling thread instead (still detached from
// the interpreter): the same result, without starting threads. Builds pass none.
inline constexpr std::size_t NOT_A_QUERY = SIZE_MAX;
bool run_on_worker_pool(std::size_t num_threads, const std::function<void(WorkerPool&)>& task,
                        std::size_t query_rows = NOT_A_QUERY);

}  // namespace kesra::py
