#pragma once
// The shape of each query row's neighbourhood at several sizes from one search: every
// point within the largest of several radii, or the k nearest for the largest of several
// k. Each neighbour found is added to the moments of the shell it falls in (the smallest
// scale that holds it); a scale's moments are the sums of its shell and every shell
// inside it, added outward. No neighbour list leaves the task that found it.
#include <cstdint>
#include <optional>
#include <vector>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"
#include "query/output_buffer.hpp"

namespace kesra {

// The scales of one call, ascending and distinct: radii, each at most the structure's
// radius (every point strictly within it), or else neighbour counts k, each at least 1
// (the k nearest within the structure's radius).
struct Scales {
    std::vector<float> radii;
    std::vector<std::size_t> ks;

    std::size_t size() const { return radii.empty() ? ks.size() : radii.size(); }
};

// Throws InvalidArgument unless `scales` holds radii or ks (not both, not neither) as
// described above, for a structure of radius `max_dist`.
void check_scales(const Scales& scales, float max_dist);

struct ScaleGeometryResult {
    OutputBuffer<float> eigenvalues;    // (Q, S, 3), ascending; NaN for fewer than 3 neighbours
    OutputBuffer<float> normals;        // (Q, S, 3), unit; NaN as the eigenvalues, and where none is defined
    OutputBuffer<std::int64_t> counts;  // (Q, S): the neighbours each row used at each scale
};

// Each scale's shape follows the rules of local_geometry. Points within a radius are
// added in the structure's walk order, shell by shell; the k nearest, within each shell
// (the ranks between two k, by squared distance and then row number), in the order of
// their row numbers. With `viewpoint`, each normal is turned to point towards it.
ScaleGeometryResult scale_geometry(WorkerPool& pool, const SearchBackend& backend, const PointsView& queries,
                                   const Scales& scales, float max_dist, std::optional<Point> viewpoint,
                                   bool progress);

}  // namespace kesra
