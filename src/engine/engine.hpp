#pragma once
// The engine record: the built search structure and the six construction values.
// Immutable once built; only a restore of saved state replaces it, as a whole.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/points_view.hpp"
#include "index/search_backend.hpp"
#include "pool/worker_pool.hpp"

namespace kesra {

struct Engine {
    SearchBackend backend;
    float max_dist = 0.0f;
    std::string method;
    std::uint32_t cells_per_radius = 1;
    std::uint64_t subtree_threshold = 64;
    std::uint64_t graph_degree = 16;
};

struct EngineParams {
    float max_dist;
    std::string method;
    std::uint32_t cells_per_radius;
    std::uint64_t subtree_threshold;
    std::uint64_t graph_degree;
};

// Looks the method up (exact, case-sensitive) and runs its build on `pool`. Throws
// InvalidArgument for an unknown method name.
Engine build_engine(WorkerPool& pool, const PointsView& search_points, EngineParams params);

}  // namespace kesra
