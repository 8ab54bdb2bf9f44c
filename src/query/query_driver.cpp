#include "query/query_driver.hpp"

#include <algorithm>
#include <cmath>

#include "index/results/count_accumulator.hpp"
#include "base/memory_limit.hpp"
#include "index/results/neighbour_list.hpp"
#include "query/nearest_row.hpp"
#include "query/reduce_rows.hpp"

namespace kesra {

namespace {

// The k nearest of each row, written as find_neighbours returns them.
struct NearestRows {
    using Work = NeighbourList;
    std::size_t k;
    float max_dist, epsilon;
    NeighbourResult& out;

    template <class S>
    Work work(const S& structure) const {
        return NeighbourList(k, max_dist, epsilon, structure.size());
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        NeighbourList& list = task.work;
        list.reset();
        search_row(structure, q, list, task);
        list.write_row(structure.row_numbers().data(), structure.row_numbers().size(), out.indices.data() + r * k,
                       out.distances.data() + r * k);
    }
    void repeat(std::size_t from, std::size_t to) {
        std::copy_n(out.indices.data() + from * k, k, out.indices.data() + to * k);
        std::copy_n(out.distances.data() + from * k, k, out.distances.data() + to * k);
    }
    void touch(std::size_t r) const {
        __builtin_prefetch(out.indices.data() + r * k, 1);
        __builtin_prefetch(out.distances.data() + r * k, 1);
    }
};

// The count (or weighted sum) of each row.
struct CountRows {
    using Work = CountAccumulator;
    float max_dist;
    std::optional<float> weight_exponent;
    float* counts;

    template <class S>
    Work work(const S&) const {
        return CountAccumulator(max_dist, weight_exponent);
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        task.work.reset();
        structure.count_search(q, task.work, &task.scratch);
        counts[r] = task.work.sum();
    }
    void repeat(std::size_t from, std::size_t to) { counts[to] = counts[from]; }
    void touch(std::size_t r) const { __builtin_prefetch(counts + r, 1); }
};

}  // namespace

NeighbourResult find_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                std::size_t k, float max_dist, float epsilon, bool progress) {
    check(queries.cols >= 3, "query points need three columns");
    if (k != 0 && queries.rows > SIZE_MAX / sizeof(float) / k)
        throw InternalError("result array size in bytes cannot be represented");
    check_fits_in_memory(static_cast<std::uint64_t>(queries.rows) * k, sizeof(std::int32_t) + sizeof(float));
    NeighbourResult out{OutputBuffer<std::int32_t>(queries.rows, k), OutputBuffer<float>(queries.rows, k)};
    reduce_rows(pool, backend, &queries, max_dist, progress,
                [&](const auto&, RowPlaces) { return NearestRows{k, max_dist, epsilon, out}; });
    return out;
}

OutputBuffer<float> count_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                     float max_dist, std::optional<float> weight_exponent, bool progress) {
    check(queries.cols >= 3, "query points need three columns");
    OutputBuffer<float> counts(queries.rows, 1);
    reduce_rows(pool, backend, &queries, max_dist, progress,
                [&](const auto&, RowPlaces) { return CountRows{max_dist, weight_exponent, counts.data()}; });
    return counts;
}

}  // namespace kesra
