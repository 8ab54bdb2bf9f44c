#pragma once
// The two query drivers: they cut the query rows into chunks of QUERY_CHUNK_ROWS, spread
// the chunks over the pool (one candidate list or accumulator per task, reset per row),
// and fill result buffers that are handed over without a copy.
#include <cstdint>
#include <optional>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"
#include "query/output_buffer.hpp"
#include "query/row_order.hpp"

namespace kesra {

struct NeighbourResult {
    OutputBuffer<std::int32_t> indices;  // (Q, k) row-major, -1 padded
    OutputBuffer<float> distances;       // (Q, k) row-major, -1.0 padded
};

NeighbourResult find_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                std::size_t k, float max_dist, float epsilon, bool progress);

OutputBuffer<float> count_neighbours(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                     float max_dist, std::optional<float> weight_exponent, bool progress);

}  // namespace kesra
