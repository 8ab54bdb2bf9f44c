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
#include "query/row_order.hpp"

namespace kesra {

namespace {

std::unique_ptr<QueryProgressBar> make_bar(bool progress, std::size_t rows) {
    return progress ? std::make_unique<QueryProgressBar>(rows) : nullptr;
}

// How often a task's rows searched in any order had to be searched again in the fixed
// order. A task stops trying once that is common: clouds with many equal distances, such
// as duplicated points, would pay for two searches a row.
struct AnyOrderTally {
    std::size_t tries = 0;
    std::size_t misses = 0;
    bool worth_trying() const { return misses * 8 <= tries + 64; }
};

// The last query point a task answered, and its row. A row's answer depends only on its
// point, so a row whose point has the same bits (duplicated points, which sorted rows
// often bring together) takes a copy of that answer instead of searching again.
class LastQuery {
public:
    // The row answered for the same point just before, or NO_ROW.
    std::size_t same_as(const Point& q) const {
        return row_ != NO_ROW && std::memcmp(&q, &point_, sizeof(Point)) == 0 ? row_ : NO_ROW;
    }
    void remember(const Point& q, std::size_t row) {
        point_ = q;
        row_ = row;
    }
    static constexpr std::size_t NO_ROW = SIZE_MAX;

private:
    Point point_{};
    std::size_t row_ = NO_ROW;
};

template <class Work, class S>
struct TaskState {
    Work work;
    typename S::Scratch scratch{};
    AnyOrderTally any_order{};  // finds only
    LastQuery last{};
};

// Searches q in an order of the structure's choosing when it has one, there is no early
// stopping and the tally allows. Returns true when that kept the entries every order
// keeps; false leaves the list empty for the fixed-order walk.
template <class S>
bool search_any_order(const S& structure, const Point& q, NeighbourList& list, AnyOrderTally& tally,
                      typename S::Scratch& scratch) {
    if (list.epsilon_sq() != 0.0f || !tally.worth_trying()) return false;
    AnyOrderList any(list);
    if (!structure.knn_search_any_order(q, any, &scratch)) return false;
    ++tally.tries;
    if (any.same_entries()) return true;
    ++tally.misses;
    list.reset();
    return false;
}

// Fills `list` with q's row, sorted: found in any order when that keeps the entries the
// fixed walk keeps (the order of equal distances within a row is free), otherwise by the
// fixed walk.
template <class S, class State>
void search_row(const S& structure, const Point& q, NeighbourList& list, State& state) {
    if (list.capacity() == 0) return;
    if (!search_any_order(structure, q, list, state.any_order, state.scratch))
        structure.knn_search(q, list, &state.scratch);
    list.sort_ascending();
}

}  // namespace

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
                    list.write_sorted_row(original, num_original, out.indices.data() + r * k,
                                          out.distances.data() + r * k);
                    state.last.remember(q, r);
                },
                [&](std::size_t r) {
                    queries.prefetch(r);
                    __builtin_prefetch(out.indices.data() + r * k, 1);
                    __builtin_prefetch(out.distances.data() + r * k, 1);
                });
        },
        backend);
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
    return counts;
}

}  // namespace kesra
