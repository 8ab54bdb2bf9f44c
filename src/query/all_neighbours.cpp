#include "query/all_neighbours.hpp"

#include <algorithm>
#include <atomic>
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
#include "query/reduce_rows.hpp"
#include "query/task_state.hpp"

namespace kesra {

namespace {

// A call whose rows follow each other in space is answered in one pass, a window of rows
// at a time: each chunk keeps its rows' entries, the window's counts give their places,
// the result grows to hold them, and the chunks write them there. The entries held
// between the two steps stay near STAGED_PAIRS, and never pass STAGING_CAP by more than
// one row: a window that would stage more stops, and its rows and the rest are counted
// first instead.
constexpr std::size_t STAGED_PAIRS = std::size_t{1} << 20;
constexpr std::size_t STAGING_CAP = 4 * STAGED_PAIRS;
constexpr std::size_t FIRST_WINDOW_ROWS = 16 * QUERY_CHUNK_ROWS;
// Before anything is staged, this many rows spread over the call are counted (which
// allocates nothing) to estimate the result and size the first window.
constexpr std::size_t SAMPLE_ROWS = 256;
// Rows counted first are counted in pieces of this many, and the pairs counted so far
// checked against memory after each, so that a result that cannot fit is refused after
// counting at most one piece beyond the point where it no longer fits.
constexpr std::size_t COUNT_PIECE_ROWS = std::size_t{1} << 16;
constexpr std::uint64_t PAIR_BYTES = sizeof(std::int32_t) + sizeof(float);

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

// What the result may hold: the pairs the process can allocate now.
std::uint64_t pairs_that_fit() { return allocatable_bytes() / PAIR_BYTES; }

[[noreturn]] void refuse(std::uint64_t pairs, bool at_least) {
    const std::uint64_t fit = pairs_that_fit();
    std::string message = std::string("the result would hold ") + (at_least ? "at least " : "") +
                          std::to_string(pairs) + " neighbour pairs (" + std::to_string(pairs * PAIR_BYTES) +
                          " bytes), more than can be allocated";
    if (fit < UINT64_MAX / PAIR_BYTES) message += " (about " + std::to_string(fit * PAIR_BYTES) + " bytes are free)";
    throw OutOfMemory(message);
}

// Grows (or first makes) the result's arrays to hold `pairs` entries.
void size_result(AllNeighboursResult& out, std::uint64_t pairs, bool at_least = false) {
    try {
        check_fits_in_memory(pairs, PAIR_BYTES);
        out.indices.grow(static_cast<std::size_t>(pairs));
        out.distances.grow(static_cast<std::size_t>(pairs));
    } catch (const std::bad_alloc&) {
        refuse(pairs, at_least);
    }
}

// The rows [first, first + n) of `queries`.
PointsView rows_of(const PointsView& queries, std::size_t first, std::size_t n) {
    PointsView part = queries;
    part.data += static_cast<std::ptrdiff_t>(first) * queries.row_stride;
    part.rows = n;
    return part;
}

// The exact count of each row, in integers.
struct ExactCounts {
    using Work = CountAccumulator;
    float max_dist;
    std::int64_t* counts;

    template <class S>
    Work work(const S&) const {
        return CountAccumulator(max_dist, std::nullopt);
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        task.work.reset();
        structure.count_search(q, task.work, &task.scratch);
        counts[r] = static_cast<std::int64_t>(task.work.count());
    }
    void repeat(std::size_t from, std::size_t to) { counts[to] = counts[from]; }
};

template <class S>
void count_rows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist,
                QueryProgressBar* bar, std::int64_t* counts) {
    ExactCounts reducer{max_dist, counts};
    reduce_rows(pool, structure, queries, max_dist, bar, reducer);
}

// Turns counts[0, rows) into offsets[1, rows] after offsets[0] (counts may be offsets + 1:
// each count is read before its place is written). Counts given by the caller are
// checked to be possible.
void sum_counts(const std::int64_t* counts, std::size_t rows, std::size_t num_points, std::int64_t* offsets) {
    for (std::size_t r = 0; r < rows; ++r) {
        if (counts[r] < 0 || static_cast<std::uint64_t>(counts[r]) > num_points)
            throw InvalidArgument("counts[" + std::to_string(r) + "] is " + std::to_string(counts[r]) +
                                  ", outside [0, " + std::to_string(num_points) + "]");
        if (offsets[r] > INT64_MAX - counts[r]) throw OutOfMemory("the result would hold more than 2^63 neighbour pairs");
        offsets[r + 1] = offsets[r] + counts[r];
    }
}

// Counts the rows [first, Q) into offsets[first + 1, Q] and sums them after
// offsets[first], a piece of rows at a time: once the pairs counted pass what the result
// can hold, the call is refused without counting the rest.
template <class S>
void count_rest(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist, std::size_t first,
                QueryProgressBar* bar, std::int64_t* offsets) {
    const std::uint64_t fit = pairs_that_fit();
    for (std::size_t begin = first; begin < queries.rows; begin += COUNT_PIECE_ROWS) {
        const std::size_t n = std::min(COUNT_PIECE_ROWS, queries.rows - begin);
        count_rows(pool, structure, rows_of(queries, begin, n), max_dist, bar, offsets + begin + 1);
        sum_counts(offsets + begin + 1, n, structure.size(), offsets + begin);
        const auto pairs = static_cast<std::uint64_t>(offsets[begin + n]);
        if (pairs > fit && begin + n < queries.rows) refuse(pairs, true);
    }
}

// Each row searched again and written into its slice, which offsets[r] and offsets[r + 1]
// place in `indices` and `distances`.
struct FillRows {
    struct Work {
        WithinList list;
        RowWriter writer;
    };
    float max_dist;
    bool sort, counted_here;
    const std::int64_t* offsets;
    std::int32_t* indices;
    float* distances;

    template <class S>
    Work work(const S& structure) const {
        return Work{WithinList(max_dist), writer_of(structure, sort)};
    }
    template <class S, class Task>
    void row(const S& structure, Task& task, const Point& q, std::size_t r) {
        const std::int64_t begin = offsets[r];
        const std::size_t n = size_of(r);
        WithinList& list = task.work.list;
        list.clear();
        list.reserve(n);
        structure.within_search(q, list, &task.scratch);
        if (list.size() != n) mismatch(r, list.size());
        task.work.writer.write(list.positions(), list.squared_distances(), n, indices + begin, distances + begin);
    }
    void repeat(std::size_t from, std::size_t to) {
        const std::size_t n = size_of(to);
        if (size_of(from) != n) mismatch(to, size_of(from));
        std::copy_n(indices + offsets[from], n, indices + offsets[to]);
        std::copy_n(distances + offsets[from], n, distances + offsets[to]);
    }
    void touch(std::size_t r) const {
        __builtin_prefetch(indices + offsets[r], 1);
        __builtin_prefetch(distances + offsets[r], 1);
    }

    std::size_t size_of(std::size_t r) const { return static_cast<std::size_t>(offsets[r + 1] - offsets[r]); }
    [[noreturn]] void mismatch(std::size_t r, std::size_t found) const {
        if (counted_here) throw InternalError("a row found another number of neighbours than it counted");
        throw InvalidArgument("counts[" + std::to_string(r) + "] is " + std::to_string(size_of(r)) + ", but row " +
                              std::to_string(r) + " has " + std::to_string(found) + " neighbours");
    }
};

template <class S>
void fill_rows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist, bool sort,
               bool counted_here, QueryProgressBar* bar, const std::int64_t* offsets, std::int32_t* indices,
               float* distances) {
    FillRows reducer{max_dist, sort, counted_here, offsets, indices, distances};
    reduce_rows(pool, structure, queries, max_dist, bar, reducer);
}

// The mean number of neighbours of SAMPLE_ROWS rows spread evenly over the call.
template <class S>
double sampled_pairs_per_row(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist) {
    constexpr std::size_t BLOCK = 32;
    const std::size_t rows = queries.rows, sampled = std::min(rows, SAMPLE_ROWS);
    std::vector<std::uint64_t> found(sampled);
    pool.for_each_block(
        sampled, BLOCK, [&] { return TaskState<CountAccumulator, S>{CountAccumulator(max_dist, std::nullopt)}; },
        [&](auto& state, std::size_t, std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                state.work.reset();
                structure.count_search(queries.point(i * rows / sampled), state.work, &state.scratch);
                found[i] = state.work.count();
            }
        });
    double total = 0.0;
    for (const std::uint64_t n : found) total += static_cast<double>(n);
    return sampled == 0 ? 0.0 : total / static_cast<double>(sampled);
}

// The one pass over rows that follow each other in space (see STAGED_PAIRS). Returns the
// first row it left unanswered, Q when it answered every row: the rest are to be counted
// first, because staging them would pass STAGING_CAP, or because the result, judged by
// the rows so far, may not fit.
template <class S>
std::size_t find_in_windows(WorkerPool& pool, const S& structure, const PointsView& queries, float max_dist,
                            bool sort, QueryProgressBar* bar, AllNeighboursResult& out) {
    const std::size_t rows = queries.rows;
    std::int64_t* offsets = out.offsets.data();
    size_result(out, 0);
    const auto fit = static_cast<double>(pairs_that_fit());
    std::size_t next = FIRST_WINDOW_ROWS;
    if (rows > QUERY_CHUNK_ROWS) {
        const double per_row = sampled_pairs_per_row(pool, structure, queries, max_dist);
        if (per_row * static_cast<double>(rows) > fit || per_row * QUERY_CHUNK_ROWS > STAGING_CAP) return 0;
        const double window = static_cast<double>(STAGED_PAIRS) / std::max(per_row, 1.0);
        next = std::clamp(static_cast<std::size_t>(window), QUERY_CHUNK_ROWS, FIRST_WINDOW_ROWS);
    }
    std::vector<WithinList> staged;  // per chunk of a window: its rows' entries, one after another
    for (std::size_t first = 0, window = 0; first < rows; first += window) {
        window = std::min(next / QUERY_CHUNK_ROWS * QUERY_CHUNK_ROWS, rows - first);
        const std::size_t chunks = chunk_count(window);
        while (staged.size() < chunks) staged.emplace_back(max_dist);
        std::atomic<std::size_t> held{0};
        std::atomic<bool> overflow{false};
        pool.for_each(chunks, [] { return typename S::Scratch{}; }, [&](typename S::Scratch& scratch, std::size_t c) {
            WithinList& list = staged[c];
            list.clear();
            if (overflow.load(std::memory_order_relaxed)) return;
            const auto [begin, end] = chunk_rows(c, window);
            LastQuery last;
            std::size_t last_start = 0;
            for (std::size_t i = begin; i < end; ++i) {
                const Point q = queries.point(first + i);
                const std::size_t start = list.size();
                // A repeated point (duplicates in a scan's order) takes a copy of its row.
                if (const std::size_t same = last.same_as(q); same != LastQuery::NO_ROW) {
                    list.repeat(last_start, static_cast<std::size_t>(offsets[first + same + 1]));
                } else {
                    structure.within_search(q, list, &scratch);
                    last.remember(q, i);
                    last_start = start;
                }
                const std::size_t n = list.size() - start;
                offsets[first + i + 1] = static_cast<std::int64_t>(n);
                if (held.fetch_add(n, std::memory_order_relaxed) + n > STAGING_CAP) {
                    overflow.store(true, std::memory_order_relaxed);
                    return;
                }
            }
        });
        if (overflow.load()) return first;
        for (std::size_t r = first; r < first + window; ++r) offsets[r + 1] += offsets[r];
        const auto pairs = static_cast<std::uint64_t>(offsets[first + window]);
        size_result(out, pairs, first + window < rows);
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
        if (bar) bar->advance(window);
        // Entries are kept only while placed: staging stays near a window's worth.
        for (std::size_t c = 0; c < staged.size(); ++c) {
            if (c >= chunks) staged[c].clear();
            staged[c].trim();
        }
        const std::size_t done = first + window;
        if (done < rows && static_cast<double>(pairs) / static_cast<double>(done) * static_cast<double>(rows) > fit)
            return done;
        // The next window holds about STAGED_PAIRS entries at this window's density, and
        // at most twice its rows, as the density may rise again.
        const auto held_here = static_cast<std::size_t>(pairs - static_cast<std::uint64_t>(offsets[first]));
        const std::size_t by_density = held_here == 0 ? SIZE_MAX : STAGED_PAIRS * window / held_here;
        next = std::clamp(by_density, QUERY_CHUNK_ROWS, std::max(QUERY_CHUNK_ROWS, std::min(2 * window, WINDOW_ROWS)));
    }
    return rows;
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
    offsets[0] = 0;
    // Rows that jump about are answered in spatial order, which the windows cannot keep:
    // they are counted first instead, and then found again.
    const float inv_edge = 1.0f / max_dist;
    const bool counted_first =
        counts == nullptr && rows >= ORDERED_MIN_ROWS && inv_edge > 0.0f && inv_edge < INFINITY &&
        rows_jump_about(pool, queries, inv_edge, 0, std::min(rows, WINDOW_ROWS));
    auto bar = make_bar(progress, counted_first ? 2 * rows : rows);
    std::visit(
        [&](const auto& s) {
            std::size_t first = 0;  // rows before it are answered
            if (counts != nullptr) {
                sum_counts(counts, rows, s.size(), offsets);
            } else if (counted_first) {
                count_rest(pool, s, queries, max_dist, 0, bar.get(), offsets);
            } else {
                first = find_in_windows(pool, s, queries, max_dist, sort, bar.get(), out);
                if (first == rows) return;
                // The rest are counted first; only their finding advances the bar.
                count_rest(pool, s, queries, max_dist, first, nullptr, offsets);
            }
            size_result(out, static_cast<std::uint64_t>(offsets[rows]));
            fill_rows(pool, s, rows_of(queries, first, rows - first), max_dist, sort, counts == nullptr, bar.get(),
                      offsets + first, out.indices.data(), out.distances.data());
        },
        backend);
    if (bar) bar->finish_and_clear();
    return out;
}

}  // namespace kesra
