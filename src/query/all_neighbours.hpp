#pragma once
// Every neighbour within the radius of each query row, in compressed rows. Rows that
// follow each other in space are answered in one pass, a window at a time; others are
// counted first (exactly, in integers), the counts summed into offsets, the result sized
// from them, and then each row's neighbours found again and written straight into its
// own slice. No (Q, k) buffer, no copy of the result, and nothing beyond it but a
// window's staged entries and each task's buffers for its longest row.
#include <cstdint>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"
#include "query/output_buffer.hpp"

namespace kesra {

struct AllNeighboursResult {
    OutputBuffer<std::int64_t> offsets;  // (Q + 1,): row r is [offsets[r], offsets[r + 1])
    OutputBuffer<std::int32_t> indices;  // (pairs,): row numbers of the search points
    OutputBuffer<float> distances;       // (pairs,)
};

// The number of search points within the radius of each query row, as count_neighbours
// counts them but without float32 rounding: int64 (Q,).
OutputBuffer<std::int64_t> neighbour_counts(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                            float max_dist, bool progress);

// The points count_neighbours counts, each row ascending by squared distance and equal ones
// by row number when `sort`, otherwise in the search's own order. `counts`, when given,
// are the rows' neighbour_counts, so they are not counted again; a row whose search finds
// another number raises InvalidArgument. A result larger than the process can allocate
// raises OutOfMemory naming its pairs, counted (at least) or exact: before it is refused,
// the call holds at most the offsets, the rows answered so far and a few million staged
// entries, and counts at most 65,536 rows beyond those that no longer fit.
AllNeighboursResult find_all_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                        float max_dist, bool sort, bool progress, const std::int64_t* counts);

}  // namespace kesra
