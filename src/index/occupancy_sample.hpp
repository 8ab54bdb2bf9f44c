#pragma once
// A cheap look at how crowded the cells of edge r are, from a random sample of the
// points: what the package's automatic choice of method reads. Deterministic: the sample
// is drawn with a fixed seed.
#include <cstddef>

#include "base/points_view.hpp"

namespace kesra {

struct OccupancySample {
    // The points of the typical point's cell (weighted by points): 1 + sum X(X-1) / (p s),
    // an unbiased estimate from the s finite sampled points, each drawn with chance p.
    double crowding = 0.0;
    // The share of sampled points that share their cell with no other sampled point.
    double alone = 0.0;
    double fraction = 0.0;  // p
    std::size_t sampled = 0;
};

// Samples up to `sample` distinct rows of `points` (all of them when there are fewer).
OccupancySample sample_occupancy(const PointsView& points, float max_dist, std::size_t sample);

}  // namespace kesra
