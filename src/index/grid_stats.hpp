#pragma once
// The occupancy of a method's voxel grid, which `grid_stats()` reports: for choosing
// between methods and cell sizes.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kesra {

struct GridStats {
    std::size_t num_cells = 0;
    std::uint32_t max_points_per_cell = 0;
    float mean_points_per_cell = 0.0f;  // N / num_cells, divided in float32; 0 without cells
    std::optional<std::size_t> num_subtrees;   // "hybrid": cells with a kd subtree
    std::optional<std::uint64_t> graph_degree;  // "graph": the degree actually used
};

}  // namespace kesra
