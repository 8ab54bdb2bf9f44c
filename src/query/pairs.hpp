#pragma once
// Every unordered pair of the engine's own points within the radius, once, as (i, j)
// row numbers with i < j, a range of points at a time: each point by position lists its
// partners of higher position, in the order its search finds them (the same on every
// call).
#include <cstdint>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"
#include "query/output_buffer.hpp"

namespace kesra {

// How many partners of higher position each point has, by position: (N,).
OutputBuffer<std::int64_t> pair_counts(WorkerPool& pool, const SearchBackend& backend, float max_dist,
                                       bool progress);

// The pairs of the points at positions [first, last), whose pair_counts are
// counts[0, last - first): (M, 2) row-major, M their sum. Counts that do not match the
// points raise InvalidArgument.
OutputBuffer<std::int64_t> pairs_of(WorkerPool& pool, const SearchBackend& backend, float max_dist,
                                    std::size_t first, std::size_t last, const std::int64_t* counts);

}  // namespace kesra
