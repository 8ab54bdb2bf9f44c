#pragma once
// Every candidate strictly within the radius of a query point (or at a NaN distance, as
// counts take them), in the order the search offers them. Entries are appended to the
// list's own buffers, which keep room for a block of eight beyond the last entry, so
// that a scan can store a whole block of lanes and keep only those below the radius.
// Rows may follow each other in one list: a row is the entries appended by its search.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kesra {

class WithinList {
public:
    static constexpr std::size_t BLOCK = 8;
    static constexpr std::size_t TRIM_SLACK = 4096;

    explicit WithinList(float max_dist) : max_dist_sq_(max_dist * max_dist) {}

    void clear() { size_ = 0; }
    // Makes room for `more` entries (more only grow the buffers as they come).
    void reserve(std::size_t more) {
        if (size_ + more + BLOCK > positions_.size()) grow(size_ + more);
    }

    float threshold() const { return max_dist_sq_; }
    bool is_done() const { return false; }
    std::size_t size() const { return size_; }
    const std::uint32_t* positions() const { return positions_.data(); }
    const float* squared_distances() const { return d2_.data(); }

    void offer(float d2, std::uint32_t position) {
        if (d2 >= max_dist_sq_) return;
        make_room();
        positions_[size_] = position;
        d2_[size_] = d2;
        ++size_;
    }

    // Where a block of up to BLOCK entries may be stored next; keep(n) then keeps the
    // first n of them.
    struct Block {
        std::uint32_t* positions;
        float* d2;
    };
    Block next_block() {
        make_room();
        return {positions_.data() + size_, d2_.data() + size_};
    }
    void keep(unsigned kept) { size_ += kept; }

    // Frees the buffers when they hold room for far more entries than the list holds,
    // so that a task's one crowded row does not keep its memory for the rest of a call.
    void trim() {
        if (positions_.size() > 2 * size_ + TRIM_SLACK) {
            std::vector<std::uint32_t>().swap(positions_);
            std::vector<float>().swap(d2_);
            size_ = 0;
        }
    }

    // Appends a copy of the entries [from, from + n): a row answered before.
    void repeat(std::size_t from, std::size_t n) {
        reserve(n);
        std::copy_n(positions_.data() + from, n, positions_.data() + size_);
        std::copy_n(d2_.data() + from, n, d2_.data() + size_);
        size_ += n;
    }

private:
    void make_room() {
        if (size_ + BLOCK > positions_.size()) [[unlikely]] grow(2 * size_);
    }
    void grow(std::size_t entries) {
        positions_.resize(entries + BLOCK);
        d2_.resize(entries + BLOCK);
    }

    float max_dist_sq_;
    std::vector<std::uint32_t> positions_;
    std::vector<float> d2_;
    std::size_t size_ = 0;
};

}  // namespace kesra
