#pragma once
// The "hybrid" structure: the voxel grid, in which every crowded cell (more than
// max(subtree_threshold, 1) points) also has a kd subtree over its own points. Queries
// walk the cells as the grid does, scan small cells and descend the subtree of crowded
// ones. All subtrees share one node array with absolute indices.
//
// Immutable after build: any number of threads may query one grid without locks.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index/kdtree/kd_tree.hpp"
#include "index/results/result_set.hpp"
#include "index/voxel/voxel_grid.hpp"

namespace kesra {

inline constexpr std::uint32_t NO_SUBTREE = 0xFFFFFFFFu;

struct HybridGrid {
    VoxelGrid grid;  // crowded cells hold their points in subtree order
    std::vector<std::uint32_t> subtree_roots;  // per cell: root in `nodes`, or NO_SUBTREE
    std::vector<Node> nodes;                    // every subtree in pre-order, ascending cell order
    // Derived from the fields above: per cell with a subtree the bounding box of its points
    // (empty when there is no subtree). Whether every coordinate is finite is the grid's.
    std::vector<PointBox> subtree_boxes;

    static constexpr std::string_view METHOD_NAME = "hybrid";
    static HybridGrid build(WorkerPool& pool, const PointsView& search_points, float max_dist,
                            std::uint32_t cells_per_radius, std::uint64_t subtree_threshold);
    static HybridGrid build(WorkerPool& pool, const PointsView& search_points, const BuildParams& p) {
        return build(pool, search_points, p.max_dist, p.cells_per_radius, p.subtree_threshold);
    }

    std::size_t size() const { return grid.size(); }
    const std::vector<std::uint32_t>& row_numbers() const { return grid.original_indices; }
    const std::vector<Point>& stored_points() const { return grid.points; }
    std::size_t num_subtrees() const;
    std::size_t memory_bytes() const;
    std::optional<GridStats> grid_stats() const {
        std::optional<GridStats> stats = grid.grid_stats();
        stats->num_subtrees = num_subtrees();
        return stats;
    }

    // A query task's work space, as for the voxel grid.
    using Scratch = VoxelGrid::Scratch;

    template <CandidateList List>
    void knn_search(const Point& q, List& list, Scratch* scratch = nullptr) const {
        walk(
            q, [&] { return list.threshold(); },
            [&](std::uint32_t start, std::uint32_t end) { offer_range(q, grid.points.data(), start, end, list); },
            [&](std::uint32_t root, const PointBox* box) {
                kd_knn_search(nodes.data(), nodes.size(), root, grid.points.data(), grid.points.size(),
                              grid.finite_points, q, list, box);
            },
            [&] { return list.is_done(); }, scratch != nullptr ? &scratch->hood : nullptr);
    }

    // knn_search for a list that takes any order: the grid's walk from q's own cell.
    bool knn_search_any_order(const Point& q, AnyOrderList& list, Scratch* scratch = nullptr) const {
        return grid.walk_own_cell_first(
            q, list,
            [&](std::uint32_t cell) {
                const std::uint32_t root = subtree_root(cell);
                if (root == NO_SUBTREE) {
                    const auto [start, end] = grid.cell_range(cell);
                    offer_range(q, grid.points.data(), start, end, list);
                } else {
                    kd_knn_search(nodes.data(), nodes.size(), root, grid.points.data(), grid.points.size(),
                                  grid.finite_points, q, list, box_of(cell));
                }
            },
            scratch != nullptr ? &scratch->hood : nullptr);
    }

    // Every point within the radius, for a list that keeps them all: the cells
    // count_search visits, crowded ones through their subtrees.
    template <CandidateList List>
    void within_search(const Point& q, List& list, Scratch* scratch = nullptr) const {
        if (!grid.separable) return knn_search(q, list, scratch);
        walk_by_columns(
            q, list.threshold(),
            [&](std::uint32_t start, std::uint32_t end) { offer_range(q, grid.points.data(), start, end, list); },
            [&](std::uint32_t root, const PointBox* box) {
                kd_knn_search(nodes.data(), nodes.size(), root, grid.points.data(), grid.points.size(),
                              grid.finite_points, q, list, box);
            });
    }

    void count_search(const Point& q, CountAccumulator& acc, Scratch* = nullptr) const {
        auto subtree = [&](std::uint32_t root, const PointBox* box) {
            kd_count_search(nodes.data(), nodes.size(), root, grid.points.data(), grid.points.size(),
                            grid.finite_points, q, acc, box);
        };
        // A plain count does not depend on the order of the cells: walk them by column,
        // counting runs of small cells as one range.
        if (!acc.weighted() && grid.separable) {
            walk_by_columns(
                q, acc.max_dist_sq(),
                [&](std::uint32_t start, std::uint32_t end) { count_range(q, grid.points.data(), start, end, acc); },
                subtree);
            return;
        }
        const float bound = acc.max_dist_sq();
        walk(q, [bound] { return bound; },
             [&](std::uint32_t start, std::uint32_t end) { count_range(q, grid.points.data(), start, end, acc); },
             subtree, [] { return false; });
    }

    // Recomputes the derived fields from the stored ones.
    void derive();
    void derive_reach(float max_dist) { grid.derive_reach(max_dist); }

private:
    // The grid's column walk (grid.walk_columns): runs of small cells joined into one
    // range for scan(start, end), crowded cells searched with subtree(root, box).
    template <class Scan, class Subtree>
    void walk_by_columns(const Point& q, float bound, Scan&& scan, Subtree&& subtree) const {
        JoinedRanges ranges(scan);
        grid.walk_columns(q, bound, [&](std::uint32_t cell) {
            const std::uint32_t root = subtree_root(cell);
            if (root == NO_SUBTREE) {
                const auto [start, end] = grid.cell_range(cell);
                ranges.add(start, end);
            } else {
                subtree(root, box_of(cell));
            }
        });
        ranges.flush();
    }

    // The grid's cell walk, scanning small cells with scan(start, end) and searching
    // crowded ones with subtree(root, box); done() is checked after every cell.
    template <class Bound, class Scan, class Subtree, class Done>
    void walk(const Point& q, Bound&& bound, Scan&& scan, Subtree&& subtree, Done&& done,
              UnitNeighbourhood* hood = nullptr) const {
        grid.walk_cell_numbers(
            q, bound,
            [&](std::uint32_t cell, std::uint32_t start, std::uint32_t end, bool fetched) {
                const std::uint32_t root = subtree_root(cell);
                if (root == NO_SUBTREE) {
                    if (!fetched) std::tie(start, end) = grid.cell_range(cell);
                    scan(start, end);
                } else {
                    subtree(root, box_of(cell));
                }
                return done();
            },
            hood);
    }

    const PointBox* box_of(std::uint32_t cell) const {
        return cell < subtree_boxes.size() ? &subtree_boxes[cell] : nullptr;
    }

    std::uint32_t subtree_root(std::uint32_t cell) const {
        check(cell < subtree_roots.size(), "cell number outside subtree_roots");
        return subtree_roots[cell];
    }
};

}  // namespace kesra
