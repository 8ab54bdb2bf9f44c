#pragma once
// The walks of a neighbourhood of one cell each way (cells_per_radius 1): column by
// column, from a neighbourhood a task kept, and from the query's own cell first.
#include <cstdint>

#include "index/voxel/voxel_grid.hpp"

namespace kesra {

template <class Bound, class Visit>
inline bool VoxelGrid::walk_unit_cells(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit) const {
    float gx[3], gy[3], gz[3];
    unit_gaps(q, a, gx, gy, gz);
    const CellCoord* coords = cell_coords.data();
    auto column_cells = [&](std::size_t c) {
        return cells_from(checked_column({column_x(a, c), column_y(a, c), 0}), a.z - 1);
    };
    const float early_bound = bound();
    float xy[9];
    bool probed[9];
    ColumnRange found[9];  // per column, its cells from the first one with z >= a.z - 1
    for (std::size_t c = 0; c < 9; ++c) {
        xy[c] = gx[c / 3] + gy[c % 3];
        probed[c] = admits(xy[c], gz, early_bound);
        if (probed[c]) columns.prefetch(column_x(a, c), column_y(a, c));
    }
    // Prefetches go to clamped places without a branch: an empty column fetches
    // something harmless.
    const std::size_t last_start = cell_starts.size() - 1, last_point = points.size() - 1;
    for (std::size_t c = 0; c < 9; ++c) {
        if (!probed[c]) continue;
        found[c] = column_cells(c);
        __builtin_prefetch(cell_starts.data() + std::min<std::size_t>(found[c].start, last_start));
    }
    for (std::size_t c = 0; c < 9; ++c) {
        if (!probed[c]) continue;
        const std::uint32_t start = cell_starts[std::min<std::size_t>(found[c].start, last_start)];
        __builtin_prefetch(points.data() + std::min<std::size_t>(start, last_point));
    }
    for (std::size_t c = 0; c < 9; ++c) {
        if (!probed[c]) {
            // A bound that rose after a NaN was kept can admit a column skipped above.
            if (!admits(xy[c], gz, bound())) continue;
            found[c] = column_cells(c);
        }
        // Only cells that exist are tested: a missing cell would be skipped either way.
        for (std::uint32_t at = found[c].start; at < found[c].end && coords[at].z <= a.z + 1; ++at) {
            if (coords[at].z < a.z - 1) continue;  // only if cells were out of order
            const std::int32_t dz = coords[at].z - a.z;
            if (xy[c] + gz[dz + 1] >= bound()) continue;
            if (visit(at, 0, 0, false)) return true;
        }
    }
    return false;
}

template <class Bound, class Visit>
inline bool VoxelGrid::walk_neighbourhood(const Point& q, const UnitNeighbourhood& hood, Bound&& bound, Visit&& visit) const {
    float gx[3], gy[3], gz[3];
    unit_gaps(q, hood.centre, gx, gy, gz);
    const float early_bound = bound();
    for (std::size_t c = 0; c < 9; ++c) {
        const float xy = gx[c / 3] + gy[c % 3];
        if (!admits(xy, gz, early_bound) && !admits(xy, gz, bound())) continue;
        for (std::size_t i = 0; i < hood.count[c]; ++i) {
            const UnitNeighbourhood::Cell& cell = hood.cells[c][i];
            if (xy + gz[cell.dz + 1] >= bound()) continue;
            if (visit(cell.number, cell.start, cell.end, true)) return true;
        }
    }
    return false;
}

template <class Scan>
inline bool VoxelGrid::walk_own_cell_first(const Point& q, AnyOrderList& list, Scan&& scan,
                                           UnitNeighbourhood* hood) const {
    if (!has_crowded_cells || offset_span != 1 || !separable || !finite_points || !is_finite(q) ||
        columns.empty() || cell_starts.empty() || points.empty())
        return false;
    const QueryCell at = locate(q);
    const CellCoord a = at.cell;
    if (at.beyond || a.z == INT32_MIN || a.z == INT32_MAX) return false;
    const bool kept = keep_neighbourhood(a, hood);
    std::uint32_t centre = NO_CELL;
    if (kept) {
        for (std::size_t i = 0; i < hood->count[4]; ++i)  // column 4 is q's, dz 0 q's cell
            if (hood->cells[4][i].dz == 0) centre = hood->cells[4][i].number;
    } else {
        const ColumnRange own = cells_from(checked_column(a), a.z);
        if (own.start != own.end && cell_coords[own.start] == a) centre = own.start;
    }
    if (centre == NO_CELL) return false;
    const auto [start, end] = cell_range(centre);
    if (end - start < OWN_CELL_MIN_POINTS) return false;
    scan(centre);
    auto others = [&](std::uint32_t number, std::uint32_t, std::uint32_t, bool) {
        if (number != centre) scan(number);
        return false;
    };
    if (kept)
        walk_neighbourhood(q, *hood, [&] { return list.threshold(); }, others);
    else
        walk_unit_cells(q, a, [&] { return list.threshold(); }, others);
    const float tie = list.tie_bound();
    float gx[3], gy[3], gz[3];
    unit_gaps(q, a, gx, gy, gz);
    for (const float x : gx)
        for (const float y : gy)
            for (const float z : gz)
                if ((x + y) + z == tie) list.pass_over(tie);
    return true;
}

}  // namespace kesra
