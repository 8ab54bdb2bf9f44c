#include "index/hybrid/hybrid_grid.hpp"

#include <algorithm>
#include <cmath>

namespace kesra {

namespace {

// One crowded cell's subtree, built in place over the cell's range of the grid.
struct Subtree {
    std::uint32_t cell;
    std::vector<Node> nodes;
};

// Builds the subtree over the cell's range of the grid and rewrites the range in tree
// order; `items` is the task's buffer, grown as needed. Cells own disjoint ranges, so the
// rewrites need no ordering between cells.
void build_subtree(WorkerPool& pool, VoxelGrid& grid, Subtree& subtree, std::vector<IndexedPoint>& items) {
    const auto [start, end] = grid.cell_range(subtree.cell);
    const std::uint32_t count = end - start;
    if (items.size() < 2 * std::size_t{count}) items.resize(2 * std::size_t{count});
    for (std::uint32_t p = start; p < end; ++p) {
        const Point& pt = grid.points[p];
        items[p - start] = {pt.x, pt.y, pt.z, grid.original_indices[p]};
    }
    subtree.nodes = kd_build_nodes(pool, items.data(), items.data() + count, count, start,
                                   {grid.points.data(), grid.original_indices.data()});
}

}  // namespace

HybridGrid HybridGrid::build(WorkerPool& pool, const PointsView& search_points, float max_dist,
                             std::uint32_t cells_per_radius, std::uint64_t subtree_threshold) {
    HybridGrid hybrid;
    hybrid.grid = VoxelGrid::build(pool, search_points, max_dist, cells_per_radius);
    VoxelGrid& grid = hybrid.grid;
    const std::uint64_t threshold = std::max<std::uint64_t>(subtree_threshold, 1);
    const std::size_t cells = grid.cell_coords.size();

    std::vector<Subtree> subtrees;
    std::vector<std::size_t> small, large;  // indices into `subtrees`
    for (std::uint32_t c = 0; c < cells; ++c) {
        const auto [start, end] = grid.cell_range(c);
        if (end - start <= threshold) continue;
        (end - start >= KD_PARALLEL_MIN ? large : small).push_back(subtrees.size());
        subtrees.push_back({c, {}});
    }
    // Large cells split their own build over the pool; the others are one task each.
    std::vector<IndexedPoint> items;
    for (std::size_t i : large) build_subtree(pool, grid, subtrees[i], items);
    pool.for_each(small.size(), [] { return std::vector<IndexedPoint>(); },
                  [&](std::vector<IndexedPoint>& buffer, std::size_t i) {
                      build_subtree(pool, grid, subtrees[small[i]], buffer);
                  });

    hybrid.subtree_roots.assign(cells, NO_SUBTREE);
    std::size_t total = 0;
    for (const Subtree& s : subtrees) total += s.nodes.size();
    check(total < NO_SUBTREE, "too many subtree nodes");
    hybrid.nodes.reserve(total);
    for (const Subtree& s : subtrees) {
        const auto base = static_cast<std::uint32_t>(hybrid.nodes.size());
        hybrid.subtree_roots[s.cell] = base;
        for (Node node : s.nodes) {
            if (node.split_dim != KD_LEAF_DIM) {
                node.first += base;
                node.second += base;
            }
            hybrid.nodes.push_back(node);
        }
    }
    hybrid.derive();
    return hybrid;
}

void HybridGrid::derive() {
    subtree_boxes.clear();
    if (nodes.empty()) return;
    // A cell whose range is unusable gets an unbounded box, which prunes nothing.
    subtree_boxes.assign(subtree_roots.size(),
                         PointBox{{-INFINITY, -INFINITY, -INFINITY}, {INFINITY, INFINITY, INFINITY}});
    for (std::uint32_t c = 0; c < subtree_roots.size(); ++c) {
        if (subtree_roots[c] == NO_SUBTREE || c + 1 >= grid.cell_starts.size()) continue;
        const std::uint32_t start = grid.cell_starts[c], end = grid.cell_starts[c + 1];
        if (start <= end && end <= grid.points.size())
            subtree_boxes[c] = bounding_box(grid.points.data() + start, end - start);
    }
}

std::size_t HybridGrid::num_subtrees() const {
    return static_cast<std::size_t>(
        std::count_if(subtree_roots.begin(), subtree_roots.end(), [](std::uint32_t r) { return r != NO_SUBTREE; }));
}

std::size_t HybridGrid::memory_bytes() const {
    return grid.memory_bytes() + subtree_roots.capacity() * sizeof(std::uint32_t) + nodes.capacity() * sizeof(Node);
}

}  // namespace kesra
