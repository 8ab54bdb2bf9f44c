#include "query/query_driver.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "index/results/any_order_list.hpp"
#include "index/results/count_accumulator.hpp"
#include "base/memory_limit.hpp"
#include "index/results/neighbour_list.hpp"
#include "query/progress_bar.hpp"
#include "query/nearest_row.hpp"
#include "query/task_state.hpp"
#include "query/row_order.hpp"

namespace kesra {

NeighbourResult find_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                std::size_t k, float max_dist, float epsilon, bool progress) {
    check(queries.cols >= 3, "query points need three columns");
    if (k != 0 && queries.rows > SIZE_MAX / sizeof(float) / k)
        throw InternalError("result array size in bytes cannot be represented");
    check_fits_in_memory(static_cast<std::uint64_t>(queries.rows) * k, sizeof(std::int32_t) + sizeof(float));
    NeighbourResult out{OutputBuffer<std::int32_t>(queries.rows, k), OutputBuffer<float>(queries.rows, k)};
    auto bar = make_bar(progress, queries.rows);
    std::visit(
        [&](const auto& structure) {
            const std::uint32_t* original = structure.row_numbers().data();
            const std::size_t num_original = structure.row_numbers().size();
            using State = TaskState<NeighbourList, std::decay_t<decltype(structure)>>;
            for_each_row(
                pool, queries, max_dist, bar.get(),
                [&] { return State{NeighbourList(k, max_dist, epsilon, structure.size())}; },
                [&](State& state, std::size_t r) {
                    const Point q = queries.point(r);
                    if (const std::size_t same = state.last.same_as(q); same != LastQuery::NO_ROW) {
                        std::copy_n(out.indices.data() + same * k, k, out.indices.data() + r * k);
                        std::copy_n(out.distances.data() + same * k, k, out.distances.data() + r * k);
                        return;
                    }
                    NeighbourList& list = state.work;
                    list.reset();
                    search_row(structure, q, list, state);
                    list.write_row(original, num_original, out.indices.data() + r * k, out.distances.data() + r * k);
                    state.last.remember(q, r);
                },
                [&](std::size_t r) {
                    queries.prefetch(r);
                    __builtin_prefetch(out.indices.data() + r * k, 1);
                    __builtin_prefetch(out.distances.data() + r * k, 1);
                });
        },
        backend);
    if (bar) bar->finish_and_clear();
    return out;
}

OutputBuffer<float> count_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                     float max_dist, std::optional<float> weight_exponent, bool progress) {
    check(queries.cols >= 3, "query points need three columns");
    OutputBuffer<float> counts(queries.rows, 1);
    auto bar = make_bar(progress, queries.rows);
    std::visit(
        [&](const auto& structure) {
            using State = TaskState<CountAccumulator, std::decay_t<decltype(structure)>>;
            for_each_row(
                pool, queries, max_dist, bar.get(), [&] { return State{CountAccumulator(max_dist, weight_exponent)}; },
                [&](State& state, std::size_t r) {
                    const Point q = queries.point(r);
                    if (const std::size_t same = state.last.same_as(q); same != LastQuery::NO_ROW) {
                        counts.data()[r] = counts.data()[same];
                        return;
                    }
                    state.work.reset();
                    structure.count_search(q, state.work, &state.scratch);
                    counts.data()[r] = state.work.sum();
                    state.last.remember(q, r);
                },
                [&](std::size_t r) {
                    queries.prefetch(r);
                    __builtin_prefetch(counts.data() + r, 1);
                });
        },
        backend);
    if (bar) bar->finish_and_clear();
    return counts;
}

}  // namespace kesra
