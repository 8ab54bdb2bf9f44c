#pragma once
// The one search structure an engine holds. The variant order is the persisted variant
// index: 0 "voxel", 1 "kdtree", 2 "hybrid", 3 "graph".
#include <variant>

#include "index/graph/knn_graph.hpp"
#include "index/hybrid/hybrid_grid.hpp"
#include "index/kdtree/kd_tree.hpp"
#include "index/voxel/voxel_grid.hpp"

namespace kesra {

using SearchBackend = std::variant<VoxelGrid, KdTree, HybridGrid, KnnGraph>;

inline std::size_t backend_size(const SearchBackend& backend) {
    return std::visit([](const auto& s) { return s.size(); }, backend);
}

}  // namespace kesra
