#include "query_driver.hpp"

#include <memory>
#include <type_traits>

#include "count_accumulator.hpp"
#include "memory_limit.hpp"
#include "neighbour_list.hpp"
#include "progress_bar.hpp"

namespace kesra {

namespace {

std::size_t chunk_count(std::size_t rows) { return (rows + QUERY_CHUNK_ROWS - 1) / QUERY_CHUNK_ROWS; }

std::unique_ptr<QueryProgressBar> make_bar(bool progress, std::size_t rows) {
    return progress ? std::make_unique<QueryProgressBar>(rows) : nullptr;
}

// Runs row(state, r) for every query row, chunk by chunk, on the pool.
template <class MakeState, class Row>
void for_each_row(WorkerPool& pool, std::size_t rows, QueryProgressBar* bar, MakeState&& make_state, Row&& row) {
    pool.for_each(chunk_count(rows), make_state, [&](auto& state, std::size_t chunk) {
        const std::size_t begin = chunk * QUERY_CHUNK_ROWS;
        const std::size_t end = std::min(rows, begin + QUERY_CHUNK_ROWS);
        for (std::size_t r = begin; r < end; ++r) row(state, r);
        if (bar) bar->advance(end - begin);
    });
    if (bar) bar->finish_and_clear();
}

// Per-task work space of a structure: its own Scratch type when it has one (the graph's
// walk), otherwise nothing.
struct NoScratch {};
template <class S>
struct ScratchOf {
    using type = NoScratch;
};
template <class S>
    requires requires { typename S::Scratch; }
struct ScratchOf<S> {
    using type = typename S::Scratch;
};

template <class S, class List>
void knn_search(const S& structure, const Point& q, List& list, typename ScratchOf<S>::type& scratch) {
    if constexpr (std::is_same_v<typename ScratchOf<S>::type, NoScratch>)
        structure.knn_search(q, list);
    else
        structure.knn_search(q, list, scratch);
}

template <class S>
void count_search(const S& structure, const Point& q, CountAccumulator& acc, typename ScratchOf<S>::type& scratch) {
    if constexpr (std::is_same_v<typename ScratchOf<S>::type, NoScratch>)
        structure.count_search(q, acc);
    else
        structure.count_search(q, acc, scratch);
}

template <class Work, class S>
struct TaskState {
    Work work;
    typename ScratchOf<S>::type scratch{};
};

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
                pool, queries.rows, bar.get(),
                [&] { return State{NeighbourList(k, max_dist, epsilon, structure.size())}; },
                [&](State& state, std::size_t r) {
                    NeighbourList& list = state.work;
                    list.reset();
                    if (k > 0) knn_search(structure, queries.point(r), list, state.scratch);
                    list.write_row(original, num_original, out.indices.data() + r * k, out.distances.data() + r * k);
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
                pool, queries.rows, bar.get(), [&] { return State{CountAccumulator(max_dist, weight_exponent)}; },
                [&](State& state, std::size_t r) {
                    state.work.reset();
                    count_search(structure, queries.point(r), state.work, state.scratch);
                    counts.data()[r] = state.work.sum();
                });
        },
        backend);
    return counts;
}

}  // namespace kesra
