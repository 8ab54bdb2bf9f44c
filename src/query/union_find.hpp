#pragma once
// A union-find over n elements that any number of threads may unite at once without
// locks. A root is always linked under the smaller root, so every element's parent is at
// most itself, no cycle can form, and each set's root ends as its smallest element,
// whatever the order of the unions: the partition and its roots depend only on the
// pairs united. 4 bytes per element.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace kesra {

class ConcurrentUnionFind {
public:
    explicit ConcurrentUnionFind(std::size_t n) : parent_(new std::atomic<std::uint32_t>[n]), size_(n) {}

    std::size_t size() const { return size_; }
    void reset(std::size_t i) { parent_[i].store(static_cast<std::uint32_t>(i), std::memory_order_relaxed); }

    // The root of i's set, halving the path on the way: each parent write only moves an
    // element up to an ancestor, which stays in its set.
    std::uint32_t find(std::uint32_t i) {
        for (;;) {
            std::uint32_t up = parent_[i].load(std::memory_order_relaxed);
            if (up == i) return i;
            const std::uint32_t above = parent_[up].load(std::memory_order_relaxed);
            if (above != up) parent_[i].compare_exchange_weak(up, above, std::memory_order_relaxed);
            i = above;
        }
    }

    void unite(std::uint32_t a, std::uint32_t b) {
        for (;;) {
            a = find(a);
            b = find(b);
            if (a == b) return;
            if (a < b) std::swap(a, b);
            // Link the larger root a under b, unless a stopped being a root meanwhile.
            std::uint32_t expected = a;
            if (parent_[a].compare_exchange_strong(expected, b, std::memory_order_relaxed)) return;
        }
    }

private:
    std::unique_ptr<std::atomic<std::uint32_t>[]> parent_;
    std::size_t size_;
};

}  // namespace kesra
