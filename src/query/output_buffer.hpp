#pragma once
// A result array filled by the drivers and then handed over, without a copy, to the
// binding (which gives it to NumPy, and releases the memory with free_storage). Large
// arrays are mapped memory, asked to be backed by huge pages (as NumPy does for its
// own large arrays): far fewer page faults while a result is first written, and growing
// one (grow) remaps it instead of copying it.
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include "base/errors.hpp"

namespace kesra {

// Frees storage handed over by an OutputBuffer: `mapped_bytes` is its mapped_bytes().
inline void free_storage(void* data, std::size_t mapped_bytes) {
    if (mapped_bytes != 0) munmap(data, mapped_bytes);
    else std::free(data);
}

template <class T>
class OutputBuffer {
public:
    OutputBuffer() = default;
    // Uninitialised storage for rows * cols elements; the drivers write every element.
    OutputBuffer(std::size_t rows, std::size_t cols) {
        if (cols != 0 && rows > std::numeric_limits<std::size_t>::max() / sizeof(T) / cols)
            throw InternalError("result array size in bytes cannot be represented");
        allocate(rows * cols);
    }
    OutputBuffer(OutputBuffer&& other) noexcept { swap(other); }
    OutputBuffer& operator=(OutputBuffer&& other) noexcept {
        OutputBuffer(std::move(other)).swap(*this);
        return *this;
    }
    OutputBuffer(const OutputBuffer&) = delete;
    OutputBuffer& operator=(const OutputBuffer&) = delete;
    ~OutputBuffer() {
        if (data_ != nullptr) free_storage(data_, mapped_bytes_);
    }

    // Grows the storage to `size` elements, keeping what it holds.
    void grow(std::size_t size) {
        if (data_ != nullptr && size <= size_) return;
        if (size > std::numeric_limits<std::size_t>::max() / sizeof(T) - PAGE) throw std::bad_alloc();
        if (mapped_bytes_ == 0 || data_ == nullptr) {
            OutputBuffer grown;
            grown.allocate(size);
            if (data_ != nullptr) std::copy_n(data_, size_, grown.data_);  // small: below MAP_MIN_BYTES
            grown.swap(*this);
            return;
        }
        const std::size_t bytes = mapped_size(size);
        if (bytes > mapped_bytes_) {
            void* moved = mremap(data_, mapped_bytes_, bytes, MREMAP_MAYMOVE);
            if (moved == MAP_FAILED) throw std::bad_alloc();
            data_ = static_cast<T*>(moved);
            mapped_bytes_ = bytes;
            madvise(moved, bytes, MADV_HUGEPAGE);
        }
        size_ = size;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    // 0 for allocated storage; see free_storage.
    std::size_t mapped_bytes() const { return mapped_bytes_; }
    T* release() {
        size_ = 0;
        mapped_bytes_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    static constexpr std::size_t PAGE = 4096;
    static constexpr std::size_t MAP_MIN_BYTES = std::size_t{1} << 20;

    static std::size_t mapped_size(std::size_t size) { return (size * sizeof(T) + PAGE - 1) / PAGE * PAGE; }

    void allocate(std::size_t size) {
        size_ = size;
        if (size * sizeof(T) >= MAP_MIN_BYTES) {
            const std::size_t bytes = mapped_size(size);
            void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            madvise(p, bytes, MADV_HUGEPAGE);
            data_ = static_cast<T*>(p);
            mapped_bytes_ = bytes;
            return;
        }
        // malloc(0) may return null; keep one element so the pointer is always valid.
        data_ = static_cast<T*>(std::malloc((size == 0 ? 1 : size) * sizeof(T)));
        if (data_ == nullptr) throw std::bad_alloc();
    }

    void swap(OutputBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(mapped_bytes_, other.mapped_bytes_);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_bytes_ = 0;
};

}  // namespace kesra
