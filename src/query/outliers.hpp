#pragma once
// Outlier flags: points with too few neighbours within the radius, and points whose mean
// distance to their k nearest others stands out from the cloud's. Every flag depends only
// on the points and the arguments, never on the threads.
#include <cstdint>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"
#include "query/output_buffer.hpp"

namespace kesra {

// For each query row (or, without queries, each of the engine's own points, by row
// number), 1 when fewer than `limit` points lie within the radius, else 0. A row's count
// stops at `limit`: no row searches further than it needs to.
OutputBuffer<std::uint8_t> fewer_than(WorkerPool& pool, const SearchBackend& backend, const PointsView* queries,
                                      float max_dist, std::uint64_t limit, bool progress);

// For each query row (or own point, by row number), the mean distance to its k nearest
// other points within the radius, in float64: the k + 1 nearest, the row's own point
// among them at distance 0, summed in ascending order, with each of the missing ones,
// when fewer lie within the radius, counted at the radius.
OutputBuffer<double> mean_neighbour_distances(WorkerPool& pool, const SearchBackend& backend,
                                              const PointsView* queries, float max_dist, std::size_t k,
                                              bool progress);

struct StatisticalOutliers {
    OutputBuffer<std::uint8_t> flags;  // (N,) by row number
    double mean = 0.0, std = 0.0, threshold = 0.0;
};

// Over the engine's own points: the mean distances above, their mean and sample standard
// deviation summed one after another in row order in float64, and the points whose mean
// distance exceeds mean + std_ratio * std (std is 0 for fewer than two points).
StatisticalOutliers statistical_outliers(WorkerPool& pool, const SearchBackend& backend, float max_dist,
                                         std::size_t k, double std_ratio, bool progress);

}  // namespace kesra
