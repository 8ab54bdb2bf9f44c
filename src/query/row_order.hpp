#pragma once
// The order in which a query call answers its rows: in chunks of QUERY_CHUNK_ROWS rows,
// spread over the pool, and for larger calls in spatial order, so that rows that follow
// each other read the same cells. Results never depend on the order.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "base/points_view.hpp"
#include "pool/worker_pool.hpp"
#include "query/progress_bar.hpp"

namespace kesra {

inline constexpr std::size_t QUERY_CHUNK_ROWS = 256;

inline std::size_t chunk_count(std::size_t rows) { return (rows + QUERY_CHUNK_ROWS - 1) / QUERY_CHUNK_ROWS; }

// The rows [begin, end) of chunk `chunk` of n rows.
inline std::pair<std::size_t, std::size_t> chunk_rows(std::size_t chunk, std::size_t n) {
    const std::size_t begin = chunk * QUERY_CHUNK_ROWS;
    return {begin, std::min(n, begin + QUERY_CHUNK_ROWS)};
}

// Calls of at least this many rows visit them in spatial order (see for_each_row).
inline constexpr std::size_t ORDERED_MIN_ROWS = 4 * QUERY_CHUNK_ROWS;
// Rows are put in order a window at a time, which bounds the scratch to 8 bytes a row of
// one window; a window's row number takes the low WINDOW_BITS bits of its sort key.
inline constexpr unsigned WINDOW_BITS = 20;
inline constexpr std::size_t WINDOW_ROWS = std::size_t{1} << WINDOW_BITS;

// Whether the rows [first, first + n) jump about: more often than not, a row lies in
// another cube of edge 1 / inv_edge than the row before. Judged on every eighth chunk.
bool rows_jump_about(WorkerPool& pool, const PointsView& queries, float inv_edge, std::size_t first, std::size_t n);

// Puts the rows [first, first + n) of a window in spatial order, in `order` as keys whose
// low bits are row - first, unless the rows mostly stay in a cube from one to the next (a
// scan in its own order), which sorting would cost more than it gains. Returns whether
// it did.
bool put_in_order(WorkerPool& pool, const PointsView& queries, float inv_edge, std::size_t first, std::size_t n,
                  std::vector<std::uint64_t>& order, std::vector<std::uint64_t>& scratch);

// Runs row(state, r) for every query row, chunk by chunk, on the pool. Results do not
// depend on the order of the rows, so larger calls may take them in spatial order
// (put_in_order): queries that follow each other then read the same cells and take the
// same branches, which matters most when the caller's order is random. Rows out of their
// order are scattered over the caller's arrays and the results, so touch(r) fetches what
// row r will use a few rows ahead. Chunks keep QUERY_CHUNK_ROWS rows. The bar advances
// by every chunk; finishing it is the caller's.
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
}

}  // namespace kesra
