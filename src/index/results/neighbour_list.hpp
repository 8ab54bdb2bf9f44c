#pragma once
// The k best (squared distance, position) candidates of one query point: a bounded
// max-heap whose top is the current acceptance bound. One list per task, reset per row,
// so a query row never allocates.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "base/errors.hpp"
#include "index/results/row_keys.hpp"
#include "index/results/sorting_network.hpp"

namespace kesra {

struct Candidate {
    float dist_sq;
    std::uint32_t position;
};

class NeighbourList {
public:
    // `room` bounds the number of entries that can ever be kept (the structure's point
    // count), so a huge k does not reserve memory it can never use; beyond
    // RESERVED_ENTRIES, the store grows with the rows that need it.
    NeighbourList(std::size_t k, float max_dist, float epsilon, std::size_t room)
        : capacity_(k), max_dist_sq_(max_dist * max_dist), epsilon_sq_(epsilon * epsilon) {
        entries_.resize(std::min({k, room, RESERVED_ENTRIES}) + 1);
        reset();
    }
    static constexpr std::size_t RESERVED_ENTRIES = 4096;

    void reset() {
        size_ = 0;
        early_stop_count_ = 0;
        threshold_ = max_dist_sq_;
    }

    std::size_t capacity() const { return capacity_; }
    std::size_t size() const { return size_; }
    const Candidate* data() const { return entries_.data(); }
    float max_dist_sq() const { return max_dist_sq_; }
    float epsilon_sq() const { return epsilon_sq_; }
    bool is_full() const { return size_ == capacity_; }
    // The largest kept distance; the list must not be empty.
    float top() const { return entries_[0].dist_sq; }

    // Acceptance bound: r^2 until the list is full, then the smaller of the largest kept
    // distance and r^2, ignoring a NaN operand. Kept up to date by offer() so that the
    // common case, a rejected candidate, costs one comparison.
    float threshold() const { return threshold_; }

    bool is_done() const { return early_stop_count_ >= capacity_; }

    // Rejection is "d2 >= bound", which is false for NaN: NaN candidates are accepted.
    void offer(float d2, std::uint32_t position) {
        if (d2 >= threshold()) return;
        if (d2 < epsilon_sq_) ++early_stop_count_;
        if (size_ < capacity_) {
            // More offers than the store was sized for (a huge k, a position offered twice) grow it.
            if (size_ == entries_.size()) [[unlikely]] entries_.resize(2 * size_);
            // Until the list is full nothing is evicted, so the heap is only arranged then,
            // by the sifts the offers would have made one by one: the same heap, and none
            // of the work for rows that never fill their list.
            entries_[size_++] = {d2, position};
            if (size_ < capacity_) return;
            for (std::size_t i = 1; i < size_; ++i) sift_up(i, entries_[i]);
        } else {
            if (capacity_ == 0) return;  // searches never run with k = 0; stay safe anyway
            sift_down({d2, position});
        }
        threshold_ = bound_of_full_list();
    }

    // Ascending by squared distance in the IEEE total order (-NaN first, +NaN last).
    // Rows are short, so they are sorted as integer keys without a general sort.
    void sort_ascending() {
        // Equal distances keep their order in the store: each key carries its slot, so keys
        // are unique and the result does not depend on how they are sorted. Up to 16 go
        // through a sorting network, padded with keys that sort last; a full list of up to
        // 32, through an insertion sort, as a max-heap read backwards is nearly ascending;
        // other lists, through networks of 16 and merges, in buffers that grow with the
        // longest row, so only a task's first long rows allocate.
        const std::size_t n = size_;
        if (n < 2) return;
        auto key_of = [&](std::size_t i) {
            const auto biased = static_cast<std::uint32_t>(total_order_key(entries_[i].dist_sq)) ^ 0x80000000u;
            return static_cast<std::uint64_t>(biased) << 32 | i;
        };
        if (n <= 16 || (n <= 32 && n == capacity_)) {
            std::uint64_t keys[32];
            Candidate held[32];
            std::copy(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n), held);
            if (n <= 16) {
                const std::size_t width = n <= 4 ? 4 : n <= 8 ? 8 : 16;
                for (std::size_t i = 0; i < n; ++i) keys[i] = key_of(i);
                for (std::size_t i = n; i < width; ++i) keys[i] = UINT64_MAX;
                sort_keys_by_network(keys, width);
            } else {
                for (std::size_t i = 0; i < n; ++i) {
                    const std::uint64_t key = key_of(i);
                    const std::size_t at = n - 1 - i;  // sorted keys fill keys[at + 1, n)
                    std::size_t j = at;
                    for (; j + 1 < n && keys[j + 1] < key; ++j) keys[j] = keys[j + 1];
                    keys[j] = key;
                }
            }
            for (std::size_t i = 0; i < n; ++i) entries_[i] = held[keys[i] & 31u];
            return;
        }
        const std::size_t padded = (n + 15) / 16 * 16;
        if (sort_keys_.size() < 2 * padded) sort_keys_.resize(2 * padded);
        if (held_.size() < n) held_.resize(n);
        std::copy(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n), held_.begin());
        for (std::size_t i = 0; i < n; ++i) sort_keys_[i] = key_of(i);
        const std::uint64_t* sorted = sort_keys_by_merging(sort_keys_.data(), sort_keys_.data() + padded, n);
        for (std::size_t i = 0; i < n; ++i) entries_[i] = held_[static_cast<std::uint32_t>(sorted[i])];
    }

    // Writes one result row of width `capacity`: row numbers and distances of the kept
    // entries, ascending by squared distance and equal ones by row number, then -1 / -1.0.
    // The row's bytes depend only on the kept entries, not on the order they came in.
    void write_row(const std::uint32_t* original_indices, std::size_t num_indices, std::int32_t* index_row,
                   float* distance_row) {
        const std::size_t n = size_;
        std::uint64_t few[16];
        const std::size_t padded = (n + 15) / 16 * 16;
        if (n > 16 && sort_keys_.size() < padded) sort_keys_.resize(padded);
        std::uint64_t* keys = n <= 16 ? few : sort_keys_.data();
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t pos = entries_[i].position;
            check(pos < num_indices, "neighbour position outside original_indices");
            keys[i] = row_key(entries_[i].dist_sq, original_indices[pos]);
        }
        const std::uint64_t* sorted = sort_row_keys(keys, n, held_keys_);
        for (std::size_t i = 0; i < n; ++i) {
            index_row[i] = static_cast<std::int32_t>(key_row(sorted[i]));
            distance_row[i] = key_distance(sorted[i]);
        }
        for (std::size_t i = n; i < capacity_; ++i) {
            index_row[i] = -1;
            distance_row[i] = -1.0f;
        }
    }

    static std::int32_t total_order_key(float f) { return total_order_bits(std::bit_cast<std::int32_t>(f)); }

private:
    float bound_of_full_list() const {
        const float top = entries_[0].dist_sq;
        if (top != top) return max_dist_sq_;
        if (max_dist_sq_ != max_dist_sq_) return top;
        return top < max_dist_sq_ ? top : max_dist_sq_;
    }

    // Both sifts move a hole instead of swapping pairs: the same comparisons, the same
    // final arrangement. Equal distances never move: the parent stays, and of two equal
    // children the left one is taken.
    void sift_up(std::size_t i, Candidate c) {
        Candidate* e = entries_.data();
        while (i > 0) {
            const std::size_t u = (i - 1) / 2;
            if (e[u].dist_sq >= c.dist_sq) break;
            e[i] = e[u];
            i = u;
        }
        e[i] = c;
    }

    void sift_down(Candidate c) {
        Candidate* e = entries_.data();
        const std::size_t len = size_;
        std::size_t i = 0;
        for (;;) {
            const std::size_t l = 2 * i + 1, r = 2 * i + 2;
            std::size_t m = i;
            float largest = c.dist_sq;
            if (l < len && e[l].dist_sq > largest) {
                m = l;
                largest = e[l].dist_sq;
            }
            if (r < len && e[r].dist_sq > largest) m = r;
            if (m == i) break;
            e[i] = e[m];
            i = m;
        }
        e[i] = c;
    }

    std::vector<Candidate> entries_;  // sized once; entries_[0, size_) in offer order, a heap once full
    std::vector<std::uint64_t> sort_keys_;  // the keys of long rows and their merge scratch
    std::vector<Candidate> held_;           // the entries of a long row while it is sorted
    std::vector<std::uint64_t> held_keys_;  // the merge scratch of write_row
    std::size_t size_ = 0;
    std::size_t capacity_;
    float max_dist_sq_;
    float epsilon_sq_;
    std::uint32_t early_stop_count_ = 0;
    float threshold_ = 0.0f;
};

}  // namespace kesra
