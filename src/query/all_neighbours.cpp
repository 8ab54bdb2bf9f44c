#include "query/all_neighbours.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
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

// A call whose rows follow each other in space is answered in one pass, a window of rows
// at a time: each chunk keeps its rows' entries, the window's counts give their places,
// the result grows to hold them, and the chunks write them there. The entries held
// between the two steps stay near STAGED_PAIRS; a window has at least MIN_WINDOW_ROWS.
constexpr std::size_t STAGED_PAIRS = std::size_t{1} << 20;
constexpr std::size_t MIN_WINDOW_ROWS = 8 * QUERY_CHUNK_ROWS;
constexpr std::size_t FIRST_WINDOW_ROWS = 16 * QUERY_CHUNK_ROWS;

// Turns a row's entries (positions and squared distances, as a search left them) into
// row numbers and distances in the row's slice, sorted or in the search's order.
class RowWriter {
public:
    RowWriter(const std::uint32_t* original, std::size_t num_original, bool sort)
        : original_(original), num_original_(num_original), sort_(sort) {}

    void write(const std::uint32_t* positions, const float* d2, std::size_t n, std::int32_t* indices,
               float* distances) {
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
            keys_[i] = row_key(d2[i], original_[positions[i]]);
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

template <class S>
RowWriter writer_of(const S& structure, bool sort) {
    return RowWriter(structure.row_numbers().data(), structure.row_numbers().size(), sort);
}

std::string pairs_message(std::uint64_t pairs, const char* more) {
    return std::string("the result would hold ") + more + std::to_string(pairs) + " neighbour pairs (" +
           std::to_string(pairs * (sizeof(std::int32_t) + sizeof(float))) + " bytes), more than can be allocated";
}

// Grows (or first makes) the result's arrays to hold `pairs` entries.
void size_result(AllNeighboursResult& out, std::uint64_t pairs, const char* more = "") {
    try {
        check_fits_in_memory(pairs, sizeof(std::int32_t) + sizeof(float));
        out.indices.grow(static_cast<std::size_t>(pairs));
        out.distances.grow(static_cast<std::size_t>(pairs));
    } catch (const std::bad_alloc&) {
        throw OutOfMemory(pairs_message(pairs, more));
    }
}

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

// Offsets from counts; counts given by the caller are checked to be possible.
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

struct FillWork {
    WithinList list;
    RowWriter writer;
};

// Each row searched again and written into its slice, which the offsets place.
template <class S>
void fill_rows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist, bool sort,
               bool counted_here, QueryProgressBar* bar, AllNeighboursResult& out) {
    const std::int64_t* offsets = out.offsets.data();
    std::int32_t* indices = out.indices.data();
    float* distances = out.distances.data();
    using State = TaskState<FillWork, S>;
    for_each_row(
        pool, queries, max_dist, bar, [&] { return State{FillWork{WithinList(max_dist), writer_of(structure, sort)}}; },
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
            list.clear();
            list.reserve(n);
            structure.within_search(q, list, &state.scratch);
            if (list.size() != n) mismatch(list.size());
            state.work.writer.write(list.positions(), list.squared_distances(), n, indices + begin, distances + begin);
            state.last.remember(q, r);
        },
        [&](std::size_t r) {
            queries.prefetch(r);
            __builtin_prefetch(indices + offsets[r], 1);
            __builtin_prefetch(distances + offsets[r], 1);
        });
}

// The one pass over rows that follow each other in space (see STAGED_PAIRS).
template <class S>
void find_in_windows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist, bool sort,
                     QueryProgressBar* bar, AllNeighboursResult& out) {
    std::int64_t* offsets = out.offsets.data();
    offsets[0] = 0;
    size_result(out, 0);
    std::vector<WithinList> staged;  // per chunk of a window: its rows' entries, one after another
    std::size_t next = FIRST_WINDOW_ROWS;
    for (std::size_t first = 0, window = 0; first < queries.rows; first += window) {
        window = std::min(next, queries.rows - first);
        const std::size_t chunks = chunk_count(window);
        while (staged.size() < chunks) staged.emplace_back(max_dist);
        pool.for_each(chunks, [] { return typename S::Scratch{}; }, [&](typename S::Scratch& scratch, std::size_t c) {
            WithinList& list = staged[c];
            list.clear();
            const auto [begin, end] = chunk_rows(c, window);
            Point last{};
            std::size_t last_start = 0, last_count = 0;
            for (std::size_t i = begin; i < end; ++i) {
                const Point q = queries.point(first + i);
                const std::size_t start = list.size();
                // A repeated point (duplicates in a scan's order) takes a copy of its row.
                if (i > begin && std::memcmp(&q, &last, sizeof(Point)) == 0) {
                    list.repeat(last_start, last_count);
                } else {
                    structure.within_search(q, list, &scratch);
                    last = q;
                    last_start = start;
                    last_count = list.size() - start;
                }
                offsets[first + i + 1] = static_cast<std::int64_t>(list.size() - start);
            }
            if (bar) bar->advance(end - begin);
        });
        for (std::size_t r = first; r < first + window; ++r) offsets[r + 1] += offsets[r];
        size_result(out, static_cast<std::uint64_t>(offsets[first + window]), "at least ");
        std::int32_t* indices = out.indices.data();
        float* distances = out.distances.data();
        pool.for_each(chunks, [&] { return writer_of(structure, sort); }, [&](RowWriter& writer, std::size_t c) {
            const WithinList& list = staged[c];
            const auto [begin, end] = chunk_rows(c, window);
            std::size_t at = 0;
            for (std::size_t r = first + begin; r < first + end; ++r) {
                const auto n = static_cast<std::size_t>(offsets[r + 1] - offsets[r]);
                writer.write(list.positions() + at, list.squared_distances() + at, n, indices + offsets[r],
                             distances + offsets[r]);
                at += n;
            }
        });
        // Entries are kept only while placed: staging stays near a window's worth.
        for (std::size_t c = 0; c < staged.size(); ++c) {
            if (c >= chunks) staged[c].clear();
            staged[c].trim();
        }
        // The next window holds about STAGED_PAIRS entries at this window's density, and
        // at most twice its rows, as the density may rise again.
        const auto held = static_cast<std::size_t>(offsets[first + window] - offsets[first]);
        const std::size_t rows = held == 0 ? SIZE_MAX : STAGED_PAIRS * window / held;
        next = std::max(MIN_WINDOW_ROWS, std::min({rows, 2 * window, WINDOW_ROWS})) / QUERY_CHUNK_ROWS *
               QUERY_CHUNK_ROWS;
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
    std::int64_t* offsets = out.offsets.data();
    // Rows that jump about are answered in spatial order, which the windows cannot keep:
    // they are counted first instead, and then found again.
    const float inv_edge = 1.0f / max_dist;
    const bool counted_first =
        counts == nullptr && rows >= ORDERED_MIN_ROWS && inv_edge > 0.0f && inv_edge < INFINITY &&
        rows_jump_about(pool, queries, inv_edge, 0, std::min(rows, WINDOW_ROWS));
    auto bar = make_bar(progress, counted_first ? 2 * rows : rows);
    if (counts == nullptr && !counted_first) {
        std::visit([&](const auto& s) { find_in_windows(pool, s, queries, max_dist, sort, bar.get(), out); },
                   backend);
    } else {
        const std::size_t num_points = backend_size(backend);
        if (counts != nullptr) {
            sum_counts(counts, rows, num_points, offsets);
        } else {
            // Counted into offsets[1, Q] and summed in place.
            std::visit([&](const auto& s) { count_rows(pool, s, queries, max_dist, bar.get(), offsets + 1); },
                       backend);
            sum_counts(offsets + 1, rows, num_points, offsets);
        }
        size_result(out, static_cast<std::uint64_t>(offsets[rows]));
        std::visit([&](const auto& s) { fill_rows(pool, s, queries, max_dist, sort, counts == nullptr, bar.get(), out); },
                   backend);
    }
    if (bar) bar->finish_and_clear();
    return out;
}

}  // namespace kesra
