#pragma once
// Per-engine claim counter: -1 is one exclusive holder, any other value the number of
// shared holders. Claims never wait: a refused claim raises RuntimeError at once.
#include <Python.h>

#include <atomic>
#include <cstdint>

namespace kesra::py {

class SharedClaim {
public:
    explicit SharedClaim(std::atomic<std::int64_t>& counter) : counter_(counter) {
        std::int64_t seen = counter_.load(std::memory_order_relaxed);
        do {
            if (seen == -1) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
        } while (!counter_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
        held_ = true;
    }
    ~SharedClaim() {
        if (held_) counter_.fetch_sub(1, std::memory_order_release);
    }
    SharedClaim(const SharedClaim&) = delete;
    SharedClaim& operator=(const SharedClaim&) = delete;
    explicit operator bool() const { return held_; }

private:
    std::atomic<std::int64_t>& counter_;
    bool held_ = false;
};

class ExclusiveClaim {
public:
    explicit ExclusiveClaim(std::atomic<std::int64_t>& counter) : counter_(counter) {
        std::int64_t expected = 0;
        held_ = counter_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
        if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
    ~ExclusiveClaim() {
        if (held_) counter_.store(0, std::memory_order_release);
    }
    ExclusiveClaim(const ExclusiveClaim&) = delete;
    ExclusiveClaim& operator=(const ExclusiveClaim&) = delete;
    explicit operator bool() const { return held_; }

private:
    std::atomic<std::int64_t>& counter_;
    bool held_ = false;
};

}  // namespace kesra::py
