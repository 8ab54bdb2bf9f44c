#pragma once
// What a build takes besides the points: the engine's construction values. Each
// structure reads those it needs (a kd-tree none of them).
#include <cstdint>

namespace kesra {

struct BuildParams {
    float max_dist;
    std::uint32_t cells_per_radius;
    std::uint64_t subtree_threshold;
    std::uint64_t graph_degree;
};

}  // namespace kesra
