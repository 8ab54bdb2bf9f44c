#include "query/query_driver.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "index/results/any_order_list.hpp"
#include "index/results/count_accumulator.hpp"
#include "base/memory_limit.hpp"
#include "index/results/neighbour_list.hpp"
#include "query/progress_bar.hpp"

namespace kesra {

namespace {

std::size_t chunk_count(std::size_t rows) { return (rows + QUERY_CHUNK_ROWS - 1) / QUERY_CHUNK_ROWS; }

// The rows [begin, end) of chunk `chunk` of n rows.
std::pair<std::size_t, std::size_t> chunk_rows(std::size_t chunk, std::size_t n) {
    const std::size_t begin = chunk * QUERY_CHUNK_ROWS;
    return {begin, std::min(n, begin + QUERY_CHUNK_ROWS)};
}

std::unique_ptr<QueryProgressBar> make_bar(bool progress, std::size_t rows) {
    return progress ? std::make_unique<QueryProgressBar>(rows) : nullptr;
}

// Calls of at least this many rows visit them in spatial order (see for_each_row).
constexpr std::size_t ORDERED_MIN_ROWS = 4 * QUERY_CHUNK_ROWS;
// Rows are put in order a window at a time, which bounds the scratch to 8 bytes a row of
// one window; a window's row number takes the low WINDOW_BITS bits of its sort key.
constexpr unsigned WINDOW_BITS = 20;
constexpr std::size_t WINDOW_ROWS = std::size_t{1} << WINDOW_BITS;

// A sort key for the row at q, leaving the low WINDOW_BITS bits free: its cube of edge
// max_dist, as (x, y, z) with z fastest, each coordinate kept modulo 2^14 or 2^15 and
// rounded toward zero. Rows of one cube get equal keys and neighbouring cubes mostly near
// ones; nothing else depends on it. Non-finite coordinates give some key.
std::uint64_t spatial_key(const Point& q, float inv_edge) {
    auto cube = [inv_edge](float v) -> std::uint64_t {
        float t = v * inv_edge;
        if (!(t > -1e9f)) t = -1e9f;  // NaN and -inf included
        if (t > 1e9f) t = 1e9f;
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(t));
    };
    return ((cube(q.x) & 0x3FFF) << 50) | ((cube(q.y) & 0x7FFF) << 35) | ((cube(q.z) & 0x7FFF) << WINDOW_BITS);
}

// Sorts keys by their bits from WINDOW_BITS up, stably: a radix sort of 11 bits a pass,
// which skips the passes whose digit is the same for every key.
void sort_by_cube(std::vector<std::uint64_t>& keys, std::vector<std::uint64_t>& scratch) {
    constexpr unsigned DIGIT_BITS = 11;
    constexpr std::uint64_t DIGIT_MASK = (1u << DIGIT_BITS) - 1;
    scratch.resize(keys.size());
    std::vector<std::size_t> next(std::size_t{1} << DIGIT_BITS);
    for (unsigned shift = WINDOW_BITS; shift < 64; shift += DIGIT_BITS) {
        std::fill(next.begin(), next.end(), 0);
        for (const std::uint64_t k : keys) ++next[(k >> shift) & DIGIT_MASK];
        if (next[(keys[0] >> shift) & DIGIT_MASK] == keys.size()) continue;
        std::size_t at = 0;
        for (std::size_t& n : next) at += std::exchange(n, at);
        for (const std::uint64_t k : keys) scratch[next[(k >> shift) & DIGIT_MASK]++] = k;
        keys.swap(scratch);
    }
}

// Puts the rows [first, first + n) of a window in spatial order, in `order` as keys whose
// low bits are row - first, unless the rows mostly stay in a cube from one to the next (a
// scan in its own order), which sorting would cost more than it gains. Returns whether
// it did.
bool put_in_order(WorkerPool& pool, const PointsView& queries, float inv_edge, std::size_t first, std::size_t n,
                  std::vector<std::uint64_t>& order, std::vector<std::uint64_t>& scratch) {
    const std::size_t chunks = chunk_count(n);
    order.resize(n);
    std::vector<std::uint32_t> changes(chunks);
    pool.for_each(chunks, [&](std::size_t chunk) {
        const auto [begin, end] = chunk_rows(chunk, n);
        std::uint32_t changed = 0;
        for (std::size_t i = begin; i < end; ++i) {
            order[i] = spatial_key(queries.point(first + i), inv_edge) | i;
            changed += i > begin && (order[i] ^ order[i - 1]) >> WINDOW_BITS != 0;
        }
        changes[chunk] = changed;
    });
    std::size_t changed = 0;
    for (const std::uint32_t c : changes) changed += c;
    if (2 * changed < n) return false;
    sort_by_cube(order, scratch);
    return true;
}

// Runs row(state, r) for every query row, chunk by chunk, on the pool. Results do not
// depend on the order of the rows, so larger calls may take them in spatial order
// (put_in_order): queries that follow each other then read the same cells and take the
// same branches, which matters most when the caller's order is random. Rows out of their
// order are scattered over the caller's arrays and the results, so touch(r) fetches what
// row r will use a few rows ahead. Chunks keep QUERY_CHUNK_ROWS rows.
template <class MakeState, class Row, class Touch>
void for_each_row(WorkerPool& pool, const PointsView& queries, float max_dist, QueryProgressBar* bar,
                  MakeState&& make_state, Row&& row, Touch&& touch) {
    constexpr std::size_t ROWS_AHEAD = 4;
    const std::size_t rows = queries.rows;
    const float inv_edge = 1.0f / max_dist;
    const bool may_order = rows >= ORDERED_MIN_ROWS && inv_edge > 0.0f && inv_edge < INFINITY;
    std::vector<std::uint64_t> order, scratch;
    for (std::size_t first = 0; first < rows; first += WINDOW_ROWS) {
        const std::size_t n = std::min(WINDOW_ROWS, rows - first);
        const std::uint64_t* ordered =
            may_order && put_in_order(pool, queries, inv_edge, first, n, order, scratch) ? order.data() : nullptr;
        auto row_at = [&](std::size_t i) { return first + (ordered ? ordered[i] & (WINDOW_ROWS - 1) : i); };
        pool.for_each(chunk_count(n), make_state, [&](auto& state, std::size_t chunk) {
            const auto [begin, end] = chunk_rows(chunk, n);
            for (std::size_t i = begin; i < end; ++i) {
                if (ordered && i + ROWS_AHEAD < end) touch(row_at(i + ROWS_AHEAD));
                row(state, row_at(i));
            }
            if (bar) bar->advance(end - begin);
        });
    }
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

// A structure may use its scratch for one search and not the other.
template <class S>
void count_search(const S& structure, const Point& q, CountAccumulator& acc, typename ScratchOf<S>::type& scratch) {
    if constexpr (requires { structure.count_search(q, acc, scratch); })
        structure.count_search(q, acc, scratch);
    else
        structure.count_search(q, acc);
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
    typename ScratchOf<S>::type scratch{};
    AnyOrderTally any_order{};  // finds only
    LastQuery last{};
};

// Searches q in an order of the structure's choosing when it has one, there is no early
// stopping and the tally allows. Returns true when that kept the entries every order
// keeps; false leaves the list empty for the fixed-order walk.
template <class S>
bool search_any_order(const S& structure, const Point& q, NeighbourList& list, AnyOrderTally& tally) {
    if constexpr (requires(AnyOrderList& any) { structure.knn_search_any_order(q, any); }) {
        if (list.epsilon_sq() != 0.0f || !tally.worth_trying()) return false;
        AnyOrderList any(list);
        if (!structure.knn_search_any_order(q, any)) return false;
        ++tally.tries;
        if (any.same_entries()) return true;
        ++tally.misses;
        list.reset();
    }
    return false;
}

// Fills `list` with q's row, sorted. A row found in any order is kept only when no two
// of its distances are equal, since the order decides how equals are ranked; otherwise
// the fixed walk runs. (One call each of the searches and the sort keeps them inlined.)
template <class S, class State>
void search_row(const S& structure, const Point& q, NeighbourList& list, State& state) {
    bool fixed = list.capacity() == 0 || !search_any_order(structure, q, list, state.any_order);
    for (;;) {
        if (fixed && list.capacity() > 0) knn_search(structure, q, list, state.scratch);
        list.sort_ascending();
        if (fixed || !list.has_equal_distances()) return;
        ++state.any_order.misses;
        list.reset();
        fixed = true;
    }
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
                    count_search(structure, q, state.work, state.scratch);
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
