#pragma once
// The searches of the "voxel" structure: k nearest in the walk's fixed order or from the
// query's own cell, and counts.
#include <cstdint>
#include <type_traits>

#include "index/results/any_order_list.hpp"
#include "index/results/count_accumulator.hpp"
#include "index/results/result_set.hpp"
#include "index/scan/range_scan.hpp"
#include "index/voxel/cell_walks.hpp"
#include "index/voxel/unit_walks.hpp"
#include "index/voxel/voxel_grid.hpp"

namespace kesra {

template <CandidateList List>
inline void VoxelGrid::knn_search(const Point& q, List& list, Scratch* scratch) const {
    UnitNeighbourhood* hood = scratch != nullptr ? &scratch->hood : nullptr;
    if constexpr (std::is_same_v<List, NeighbourList>) {
        // Cells that follow each other in `points` are offered as one range, in the same
        // order. The bound of the box tests then lags by a cell, which can only let cells
        // in whose points are all rejected: never with a NaN (always accepted) or an early
        // stop (checked per cell).
        if (list.epsilon_sq() == 0.0f && finite_points && is_finite(q)) {
            std::uint32_t run_start = 0, run_end = 0;
            walk_cells(
                q, [&] { return list.threshold(); },
                [&](std::uint32_t start, std::uint32_t end) {
                    if (start != run_end) {
                        offer_range(q, points.data(), run_start, run_end, list);
                        run_start = start;
                    }
                    run_end = end;
                    return false;
                },
                hood);
            offer_range(q, points.data(), run_start, run_end, list);
            return;
        }
    }
    walk_cells(
        q, [&] { return list.threshold(); },
        [&](std::uint32_t start, std::uint32_t end) {
            offer_range(q, points.data(), start, end, list);
            return list.is_done();
        },
        hood);
}

inline bool VoxelGrid::knn_search_any_order(const Point& q, AnyOrderList& list, Scratch* scratch) const {
    return walk_own_cell_first(
        q, list,
        [&](std::uint32_t cell) {
            const auto [start, end] = cell_range(cell);
            offer_range(q, points.data(), start, end, list);
        },
        scratch != nullptr ? &scratch->hood : nullptr);
}

// Every point within the radius: the cells a plain count walks, runs of them as one range.
template <CandidateList List>
inline void VoxelGrid::within_search(const Point& q, List& list, Scratch* scratch) const {
    if (!separable) return knn_search(q, list, scratch);
    JoinedRanges ranges([&](std::uint32_t start, std::uint32_t end) { offer_range(q, points.data(), start, end, list); });
    walk_columns(q, list.threshold(), [&](std::uint32_t number) {
        const auto [start, end] = cell_range(number);
        ranges.add(start, end);
    });
    ranges.flush();
}

// Cells next to each other in a column are next to each other in `points` too: their
// ranges are counted as one, in the same order. A plain count does not depend on the
// order of the points, so it walks the neighbourhood column by column instead: the
// same cells pass the same box tests, and one probe serves a column.
inline void VoxelGrid::count_search(const Point& q, CountAccumulator& acc, Scratch*) const {
    JoinedRanges counter([&](std::uint32_t start, std::uint32_t end) { count_range(q, points.data(), start, end, acc); });
    const float bound = acc.max_dist_sq();
    if (!acc.weighted() && separable) {
        walk_columns(q, bound, [&](std::uint32_t number) {
            const auto [start, end] = cell_range(number);
            counter.add(start, end);
        });
    } else {
        walk_cells(q, [bound] { return bound; }, [&](std::uint32_t start, std::uint32_t end) {
            counter.add(start, end);
            return false;
        });
    }
    counter.flush();
}

}  // namespace kesra
