#include "binding/worker_pool_call.hpp"

#include <exception>
#include <new>
#include <string>

#include "base/errors.hpp"
#include "query/row_order.hpp"

namespace kesra::py {

PyObject* internal_error_type() {
    // Created on first use and shared by every module execution in the process.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "kesra.KesraInternalError",
        "A failure inside the native engine that is not the caller's fault (a worker pool\n"
        "that cannot be built, a corrupted restored structure). Derives from BaseException.",
        PyExc_BaseException, nullptr);
    return type;
}

static bool raise_internal(const std::string& message) {
    PyObject* type = internal_error_type();
    if (type != nullptr) PyErr_SetString(type, message.c_str());
    return false;
}

PyObject* raise_current(PyObject* other, const char* unknown) {
    try {
        throw;
    } catch (const InvalidArgument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const OutOfMemory& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::exception& e) {
        if (other != nullptr) PyErr_SetString(other, e.what());
    } catch (...) {
        if (other != nullptr) PyErr_SetString(other, unknown);
    }
    return nullptr;
}

bool run_detached(const std::function<void()>& work) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (!error) return true;
    try {
        std::rethrow_exception(error);
    } catch (const PoolBuildError& e) {
        return raise_internal(std::string("failed to build rayon thread pool: ") + e.what());
    } catch (...) {
        raise_current(internal_error_type(), "unknown failure in a worker task");
    }
    return false;
}

bool run_on_worker_pool(std::size_t num_threads, const std::function<void(WorkerPool&)>& task,
                        std::size_t query_rows) {
    const bool here = query_rows <= QUERY_CHUNK_ROWS;
    // The default size reads the environment before detaching: where the interpreter has
    // a GIL, no Python thread can change os.environ during the read.
    const std::size_t threads = here || num_threads > 0 ? num_threads : default_pool_size();
    return run_detached([&] {
        if (here)
            WorkerPool::run_here(task);
        else
            WorkerPool::run(threads, task);
    });
}

}  // namespace kesra::py
