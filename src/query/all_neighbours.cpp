#include "query/all_neighbours.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.hpp"
#include "base/memory_limit.hpp"
#include "index/results/count_accumulator.hpp"
#include "index/results/row_keys.hpp"
#include "index/results/within_list.hpp"
#include "query/row_order.hpp"
#include "query/task_state.hpp"

namespace kesra {

namespace {

template <class S>
void count_rows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist,
                QueryProgressBar* bar, std::int64_t* counts) {
    using State = TaskState<CountAccumulator, S>;
    for_each_row(
        pool, queries, max_dist, bar, [&] { return State{CountAccumulator(max_dist, std::nullopt)}; },
        [&](State& state, std::size_t r) {
            const Point q = queries.point(r);
            if (const std::size_t same = state.last.same_as(q); same != LastQuery::NO_ROW) {
                counts[r] = counts[same];
                return;
            }
            state.work.reset();
            structure.count_search(q, state.work, &state.scratch);
            counts[r] = static_cast<std::int64_t>(state.work.count());
            state.last.remember(q, r);
        },
        [&](std::size_t r) { queries.prefetch(r); });
}

// Turns a row's entries, as the search left them in its list (positions and squared
// distances), into row numbers and distances in the row's slice, sorted or in the list's
// order.
class RowWriter {
public:
    RowWriter(const std::uint32_t* original, std::size_t num_original, bool sort)
        : original_(original), num_original_(num_original), sort_(sort) {}

    void write(const WithinList& list, std::int32_t* indices, float* distances) {
        const std::size_t n = list.size();
        const std::uint32_t* positions = list.positions();
        const float* d2 = list.squared_distances();
        if (!sort_) {
            for (std::size_t i = 0; i < n; ++i) {
                check(positions[i] < num_original_, "neighbour position outside original_indices");
                indices[i] = static_cast<std::int32_t>(original_[positions[i]]);
                distances[i] = std::sqrt(d2[i]);
            }
            return;
        }
        const std::size_t padded = (n + 15) / 16 * 16;
        if (keys_.size() < padded) keys_.resize(padded);
        for (std::size_t i = 0; i < n; ++i) {
            check(positions[i] < num_original_, "neighbour position outside original_indices");
            keys_[i] = row_key(std::sqrt(d2[i]), original_[positions[i]]);
        }
        const std::uint64_t* sorted = sort_row_keys(keys_.data(), n, scratch_);
        for (std::size_t i = 0; i < n; ++i) {
            indices[i] = static_cast<std::int32_t>(key_row(sorted[i]));
            distances[i] = key_distance(sorted[i]);
        }
    }

private:
    const std::uint32_t* original_;
    std::size_t num_original_;
    bool sort_;
    std::vector<std::uint64_t> keys_, scratch_;
};

struct FillWork {
    WithinList list;
    RowWriter writer;
};

template <class S>
void fill_rows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist, bool sort,
               bool counted_here, QueryProgressBar* bar, AllNeighboursResult& out) {
    const std::int64_t* offsets = out.offsets.data();
    std::int32_t* indices = out.indices.data();
    float* distances = out.distances.data();
    using State = TaskState<FillWork, S>;
    for_each_row(
        pool, queries, max_dist, bar,
        [&] {
            return State{FillWork{WithinList(max_dist),
                                  RowWriter(structure.row_numbers().data(), structure.row_numbers().size(), sort)}};
        },
        [&](State& state, std::size_t r) {
            const Point q = queries.point(r);
            const std::int64_t begin = offsets[r];
            const auto n = static_cast<std::size_t>(offsets[r + 1] - begin);
            auto mismatch = [&](std::size_t found) {
                if (counted_here) throw InternalError("a row found another number of neighbours than it counted");
                throw InvalidArgument("counts[" + std::to_string(r) + "] is " + std::to_string(n) + ", but row " +
                                      std::to_string(r) + " has " + std::to_string(found) + " neighbours");
            };
            if (const std::size_t same = state.last.same_as(q); same != LastQuery::NO_ROW) {
                const std::int64_t from = offsets[same];
                const auto found = static_cast<std::size_t>(offsets[same + 1] - from);
                if (found != n) mismatch(found);
                std::copy_n(indices + from, n, indices + begin);
                std::copy_n(distances + from, n, distances + begin);
                return;
            }
            WithinList& list = state.work.list;
            list.start(n);
            structure.within_search(q, list, &state.scratch);
            if (list.size() != n) mismatch(list.size());
            state.work.writer.write(list, indices + begin, distances + begin);
            state.last.remember(q, r);
        },
        [&](std::size_t r) {
            queries.prefetch(r);
            __builtin_prefetch(indices + offsets[r], 1);
            __builtin_prefetch(distances + offsets[r], 1);
        });
}

// Offsets from counts; given counts are checked to be possible.
void sum_counts(const std::int64_t* counts, std::size_t rows, std::size_t num_points, std::int64_t* offsets) {
    offsets[0] = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        if (counts[r] < 0 || static_cast<std::uint64_t>(counts[r]) > num_points)
            throw InvalidArgument("counts[" + std::to_string(r) + "] is " + std::to_string(counts[r]) +
                                  ", outside [0, " + std::to_string(num_points) + "]");
        if (offsets[r] > INT64_MAX - counts[r]) throw OutOfMemory("the result would hold more than 2^63 neighbour pairs");
        offsets[r + 1] = offsets[r] + counts[r];
    }
}

}  // namespace

OutputBuffer<std::int64_t> neighbour_counts(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                            float max_dist, bool progress) {
    check(queries.cols >= 3, "query points need three columns");
    OutputBuffer<std::int64_t> counts(queries.rows, 1);
    auto bar = make_bar(progress, queries.rows);
    std::visit([&](const auto& s) { count_rows(pool, s, queries, max_dist, bar.get(), counts.data()); }, backend);
    if (bar) bar->finish_and_clear();
    return counts;
}

AllNeighboursResult find_all_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                        float max_dist, bool sort, bool progress, const std::int64_t* counts) {
    check(queries.cols >= 3, "query points need three columns");
    const std::size_t rows = queries.rows;
    AllNeighboursResult out;
    out.offsets = OutputBuffer<std::int64_t>(rows + 1, 1);
    auto bar = make_bar(progress, counts != nullptr ? rows : 2 * rows);
    std::int64_t* offsets = out.offsets.data();
    const std::size_t num_points = backend_size(backend);
    if (counts != nullptr) {
        sum_counts(counts, rows, num_points, offsets);
    } else {
        // Counted into offsets[1, Q] and summed in place.
        std::visit([&](const auto& s) { count_rows(pool, s, queries, max_dist, bar.get(), offsets + 1); }, backend);
        sum_counts(offsets + 1, rows, num_points, offsets);
    }
    const auto pairs = static_cast<std::uint64_t>(offsets[rows]);
    try {
        check_fits_in_memory(pairs, sizeof(std::int32_t) + sizeof(float));
        out.indices = OutputBuffer<std::int32_t>(pairs, 1);
        out.distances = OutputBuffer<float>(pairs, 1);
    } catch (const std::bad_alloc&) {
        throw OutOfMemory("the result would hold " + std::to_string(pairs) + " neighbour pairs (" +
                          std::to_string(pairs * (sizeof(std::int32_t) + sizeof(float))) +
                          " bytes), more than can be allocated");
    }
    std::visit([&](const auto& s) { fill_rows(pool, s, queries, max_dist, sort, counts == nullptr, bar.get(), out); },
               backend);
    if (bar) bar->finish_and_clear();
    return out;
}

}  // namespace kesra
