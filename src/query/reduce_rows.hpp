#pragma once
// The one driver of per-row neighbourhood work. A structure walks each row's
// neighbourhood, a reducer consumes it and writes the row's answer; the driver owns the
// rest: chunks of QUERY_CHUNK_ROWS rows spread over the pool in spatial order
// (for_each_row), one work object per task, the progress bar, and rows whose point has
// the same bits as the row the task answered just before, which take a copy of that
// answer instead of searching again.
//
// A reducer R has:
// - R::Work, the per-task work space (a candidate list, an accumulator), made by
//   work(structure);
// - row(structure, task, q, r): searches q (row r of the queries) through the structure's
//   search interface with task.work and task.scratch, and writes row r's answer;
// - optionally repeat(from, to): row `to` has the same point as row `from`, answered just
//   before by the same task: gives row `to` the same answer without a search (a reducer
//   whose answer depends on more than the point has none);
// - optionally wanted(r) (rows it answers; the others are left as they are) and touch(r)
//   (prefetches what row r will write).
// Adding a per-row reduction means writing its reducer and its binding, nothing else.
#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <variant>
#include <vector>

#include "base/errors.hpp"
#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "index/search_structure.hpp"
#include "pool/worker_pool.hpp"
#include "query/progress_bar.hpp"
#include "query/row_order.hpp"
#include "query/task_state.hpp"

namespace kesra {

template <class R, class S>
concept RowReducer = SearchStructure<S> && requires(R& reducer, const R& held, const S& structure,
                                                     TaskState<typename R::Work, S>& task, const Point& q,
                                                     std::size_t r) {
    { held.work(structure) } -> std::same_as<typename R::Work>;
    reducer.row(structure, task, q, r);
};

// Runs `reducer` over every row of `queries` on the pool; the bar, when given, advances
// by each chunk (finishing it is the caller's).
template <SearchStructure S, RowReducer<S> R>
void reduce_rows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist,
                 QueryProgressBar* bar, R& reducer) {
    using Task = TaskState<typename R::Work, S>;
    for_each_row(
        pool, queries, max_dist, bar, [&] { return Task{reducer.work(structure)}; },
        [&](Task& task, std::size_t r) {
            if constexpr (requires { reducer.wanted(r); }) {
                if (!reducer.wanted(r)) return;
            }
            const Point q = queries.point(r);
            if constexpr (requires { reducer.repeat(r, r); }) {
                if (const std::size_t same = task.last.same_as(q); same != LastQuery::NO_ROW) {
                    reducer.repeat(same, r);
                    return;
                }
                reducer.row(structure, task, q, r);
                task.last.remember(q, r);
            } else {
                reducer.row(structure, task, q, r);
            }
        },
        [&](std::size_t r) {
            queries.prefetch(r);
            if constexpr (requires { reducer.touch(r); }) reducer.touch(r);
        });
}

// Where row r of a reduction's queries writes its answer: row r itself, or, when the
// queries are a structure's own points by position, the point's row number.
struct RowPlaces {
    const std::uint32_t* rows = nullptr;  // nullptr: the identity
    std::size_t num_rows = 0;

    std::size_t operator()(std::size_t r) const {
        if (rows == nullptr) return r;
        const std::uint32_t row = rows[r];
        check(row < num_rows, "row number outside the points");
        return row;
    }
};

// A structure's own points, by position, as query rows.
template <SearchStructure S>
PointsView stored_points_view(const S& structure, std::size_t first = 0, std::size_t last = SIZE_MAX) {
    const std::vector<Point>& points = structure.stored_points();
    last = std::min(last, points.size());
    first = std::min(first, last);
    return PointsView{reinterpret_cast<const char*>(points.data() + first), last - first, 3,
                      static_cast<std::ptrdiff_t>(sizeof(Point)), static_cast<std::ptrdiff_t>(sizeof(float))};
}

// The same over a backend, for `queries`, or without them (nullptr) for the structure's
// own points in the order it keeps them, which keeps neighbouring rows together; their
// answers go to their row numbers. make(structure, places) makes the reducer, which
// writes row r's answer at places(r). With `progress`, a bar over the rows is shown for
// the call and cleared at the end.
template <class Make>
void reduce_rows(WorkerPool& pool, const SearchBackend& backend, const PointsView* queries, float max_dist,
                 bool progress, Make&& make) {
    check(queries == nullptr || queries->cols >= 3, "query points need three columns");
    auto bar = make_bar(progress, queries != nullptr ? queries->rows : backend_size(backend));
    std::visit(
        [&](const auto& structure) {
            const RowPlaces places =
                queries != nullptr ? RowPlaces{} : RowPlaces{structure.row_numbers().data(), structure.size()};
            auto reducer = make(structure, places);
            reduce_rows(pool, structure, queries != nullptr ? *queries : stored_points_view(structure), max_dist,
                        bar.get(), reducer);
        },
        backend);
    if (bar) bar->finish_and_clear();
}

}  // namespace kesra
