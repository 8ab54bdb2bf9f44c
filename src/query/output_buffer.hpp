#pragma once
// A result array filled by the drivers and then handed over, without a copy, to the
// binding (which gives it to NumPy; the memory is released with std::free).
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#include "base/errors.hpp"

namespace kesra {

template <class T>
class OutputBuffer {
public:
    OutputBuffer() = default;
    // Uninitialised storage for rows * cols elements; the drivers write every element.
    OutputBuffer(std::size_t rows, std::size_t cols) : size_(0) {
        if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(T) / cols)
            throw InternalError("result array size in bytes cannot be represented");
        size_ = rows * cols;
        // malloc(0) may return null; keep one element so the pointer is always valid.
        data_.reset(static_cast<T*>(std::malloc((size_ == 0 ? 1 : size_) * sizeof(T))));
        if (!data_) throw std::bad_alloc();
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T* release() { return data_.release(); }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_ = 0;
};

}  // namespace kesra
