#pragma once
// Density-based clusters of the engine's own points, without any list of neighbour pairs:
// a point is a core when at least min_samples points (itself included) lie within the
// radius; cores within the radius of each other share a cluster; a non-core point within
// the radius of a core is a border point of the cluster of its nearest core (equal
// distances: the core of the lowest row number); the rest are noise. Clusters of fewer
// than min_cluster_size points become noise, and the others are numbered 0, 1, ... in the
// order of their lowest row number.
#include <cstdint>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"
#include "query/output_buffer.hpp"

namespace kesra {

struct ClustersResult {
    OutputBuffer<std::int64_t> labels;  // (N,) by row number; -1 for noise
    OutputBuffer<std::uint8_t> core;    // (N,) by row number
};

// Memory beyond the outputs, per point; the tasks' search scratch comes on top.
inline constexpr std::size_t CLUSTER_BYTES_PER_POINT = 9;

// `given_core`, when not null, holds each row's core flag (by row number) instead of the
// counts: a tiled caller that knows them exactly from a larger neighbourhood.
ClustersResult dbscan(WorkerPool& pool, const SearchBackend& backend, float max_dist, std::uint64_t min_samples,
                      std::uint64_t min_cluster_size, const std::uint8_t* given_core, bool progress);

}  // namespace kesra
