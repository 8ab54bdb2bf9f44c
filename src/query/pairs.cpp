#include "query/walk_warnings.hpp"

#include "query/pairs.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "base/memory_limit.hpp"
#include "index/results/within_list.hpp"
#include "query/reduce_rows.hpp"

namespace kesra {

namespace {

// Each unordered pair is listed from its point of lower position, which keeps the test a
// comparison of positions: the other point's position must be above the row's.
class CountAbove {
public:
    explicit CountAbove(float max_dist) : max_dist_sq_(max_dist * max_dist) {}
    void start(std::uint32_t position) {
        position_ = position;
        count_ = 0;
    }
    float threshold() const { return max_dist_sq_; }
    bool is_done() const { return false; }
    void offer(float d2, std::uint32_t q) { count_ += !(d2 >= max_dist_sq_) && q > position_; }
    std::int64_t count() const { return count_; }

private:
    float max_dist_sq_;
    std::uint32_t position_ = 0;
    std::int64_t count_ = 0;
};

struct CountPairs {
    using Work = CountAbove;
    float max_dist;
    std::int64_t* counts;

    template <class S>
    Work work(const S&) const {
        return CountAbove(max_dist);
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t p) {
        task.work.start(static_cast<std::uint32_t>(p));
        structure.within_search(q, task.work, &task.scratch);
        counts[p] = task.work.count();
    }
    // No repeat: equal points have the same neighbours but not the same partners above.
};

struct WritePairs {
    using Work = WithinList;
    float max_dist;
    std::size_t first;  // row i of the reduction is the point at position first + i
    const std::uint32_t* rows;
    std::size_t num_rows;
    const std::int64_t* offsets;  // (last - first + 1,)
    std::int64_t* out;

    template <class S>
    Work work(const S&) const {
        return WithinList(max_dist);
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t i) {
        WithinList& list = task.work;
        list.clear();
        structure.within_search(q, list, &task.scratch);
        const std::size_t self = first + i;
        const std::int64_t row = rows[self];
        std::int64_t* at = out + 2 * offsets[i];
        std::int64_t* const end = out + 2 * offsets[i + 1];
        for (std::size_t e = 0; e < list.size(); ++e) {
            const std::uint32_t position = list.positions()[e];
            if (position <= self) continue;
            check(position < num_rows, "neighbour position outside the points");
            if (at == end) mismatch(i);
            const std::int64_t other = rows[position];
            *at++ = std::min(row, other);
            *at++ = std::max(row, other);
        }
        if (at != end) mismatch(i);
    }
    [[noreturn]] void mismatch(std::size_t i) const {
        throw InvalidArgument("counts[" + std::to_string(i) + "] is " + std::to_string(offsets[i + 1] - offsets[i]) +
                              ", but the point has another number of partners");
    }
};

}  // namespace

OutputBuffer<std::int64_t> pair_counts(WorkerPool& pool, const SearchBackend& backend, float max_dist,
                                       bool progress) {
    const std::size_t n = backend_size(backend);
    OutputBuffer<std::int64_t> counts(n, 1);
    std::visit(
        [&](const auto& structure) {
            auto bar = make_bar(progress, n);
            CountPairs reducer{max_dist, counts.data()};
            reduce_rows(pool, structure, stored_points_view(structure), max_dist, bar.get(), reducer);
            if (bar) bar->finish_and_clear();
        },
        backend);
    return counts;
}

OutputBuffer<std::int64_t> pairs_of(WorkerPool& pool, const SearchBackend& backend, float max_dist,
                                    std::size_t first, std::size_t last, const std::int64_t* counts) {
    const std::size_t n = backend_size(backend);
    check(first <= last && last <= n, "pair range outside the points");
    std::vector<std::int64_t> offsets(last - first + 1);
    for (std::size_t i = 0; i < last - first; ++i) {
        if (counts[i] < 0 || static_cast<std::uint64_t>(counts[i]) >= n)
            throw InvalidArgument("counts[" + std::to_string(i) + "] is " + std::to_string(counts[i]) +
                                  ", outside [0, " + std::to_string(n) + ")");
        offsets[i + 1] = offsets[i] + counts[i];
    }
    const auto pairs = static_cast<std::uint64_t>(offsets.back());
    check_fits_in_memory(pairs, 2 * sizeof(std::int64_t));
    OutputBuffer<std::int64_t> out(static_cast<std::size_t>(pairs), 2);
    std::visit(
        [&](const auto& structure) {
            const std::uint32_t* rows = structure.row_numbers().data();
            WritePairs reducer{max_dist, first, rows, n, offsets.data(), out.data()};
            reduce_rows(pool, structure, stored_points_view(structure, first, last), max_dist, nullptr, reducer);
        },
        backend);
    return out;
}

}  // namespace kesra
