#pragma once
// The shape of each query row's neighbourhood, computed where the neighbours are found:
// the covariance of the k nearest points within the radius (or of every point within
// it), its eigenvalues ascending and the unit eigenvector of the smallest, the normal.
// No neighbour list leaves the task that found it.
#include <cstdint>
#include <optional>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"
#include "query/output_buffer.hpp"

namespace kesra {

struct LocalGeometryResult {
    OutputBuffer<float> eigenvalues;  // (Q, 3), ascending; NaN for rows of fewer than 3 neighbours
    OutputBuffer<float> normals;      // (Q, 3), unit; NaN as the eigenvalues
    OutputBuffer<std::int64_t> counts;  // (Q,): the neighbours each row used
};

// With `all_within`, every point within the radius (k is not used); otherwise the k
// nearest, as find_neighbours keeps them. With `viewpoint`, each normal is turned to
// point towards it (a normal at right angles to the view stays as found).
LocalGeometryResult local_geometry(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                   std::size_t k, bool all_within, float max_dist, std::optional<Point> viewpoint,
                                   bool progress);

}  // namespace kesra
