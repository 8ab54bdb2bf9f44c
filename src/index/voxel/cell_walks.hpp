#pragma once
// The walks over the cells around a query: the offset walk in near-to-far order (in
// batches, or by unit neighbourhood), the cells beyond it that rounding can leave out,
// and the walk column by column that plain counts use.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <tuple>

#include "index/voxel/unit_walks.hpp"
#include "index/voxel/voxel_grid.hpp"

namespace kesra {

template <class Bound, class Scan>
inline void VoxelGrid::walk_cells(const Point& q, Bound&& bound, Scan&& scan, UnitNeighbourhood* hood) const {
    walk_cell_numbers(
        q, bound,
        [&](std::uint32_t number, std::uint32_t start, std::uint32_t end, bool fetched) {
            if (!fetched) std::tie(start, end) = cell_range(number);
            return scan(start, end);
        },
        hood);
}

template <class Bound, class Visit>
inline void VoxelGrid::walk_cell_numbers(const Point& q, Bound&& bound, Visit&& visit, UnitNeighbourhood* hood) const {
    if (neighbour_offsets.empty() || columns.empty()) return;
    const QueryCell at = locate(q);
    if (walk_offsets(q, at.cell, bound, visit, hood)) return;
    if (at.beyond) walk_beyond(q, at.cell, bound, visit);
}

template <class Bound, class Visit>
inline bool VoxelGrid::walk_offsets(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit, UnitNeighbourhood* hood) const {
    if (offset_span == 1 && separable && a.z != INT32_MIN && a.z != INT32_MAX && !cell_starts.empty() &&
        !points.empty()) {
        if (keep_neighbourhood(a, hood)) return walk_neighbourhood(q, *hood, bound, visit);
        return walk_unit_cells(q, a, bound, visit);
    }
    GapTable gap_sq;
    const std::int32_t span = static_cast<std::int32_t>(offset_span);
    if (separable) fill_gaps(q, a, gap_sq, static_cast<std::int32_t>(offset_span));
    constexpr std::size_t batch = 32;  // one bit of `fetched` each
    CellCoord cells[batch];
    float boxes[batch];
    std::uint32_t numbers[batch], starts[batch], ends[batch];
    for (std::size_t first = 0; first < neighbour_offsets.size(); first += batch) {
        const std::size_t count = std::min(batch, neighbour_offsets.size() - first);
        const float early_bound = bound();
        for (std::size_t i = 0; i < count; ++i) {
            const CellCoord& d = neighbour_offsets[first + i];
            cells[i] = {wrapping_add(a.x, d.x), wrapping_add(a.y, d.y), wrapping_add(a.z, d.z)};
            boxes[i] = separable ? (gap_sq[0][d.x + span] + gap_sq[1][d.y + span]) + gap_sq[2][d.z + span]
                                 : box_distance(q, cells[i]);
            if (!(boxes[i] >= early_bound) && (i == 0 || !same_column(cells[i], cells[i - 1])))
                columns.prefetch(cells[i].x, cells[i].y);
        }
        ColumnRange column;
        std::uint32_t cursor = 0;
        const CellCoord* column_cell = nullptr;  // a cell of the column probed last
        for (std::size_t i = 0; i < count; ++i) {
            numbers[i] = NO_CELL;
            if (boxes[i] >= early_bound) continue;
            if (column_cell == nullptr || !same_column(cells[i], *column_cell)) {
                column = checked_column(cells[i]);
                cursor = column.start;
                column_cell = &cells[i];
            }
            numbers[i] = position_in_column(cells[i], column, cursor);
            if (numbers[i] != NO_CELL) __builtin_prefetch(cell_starts.data() + numbers[i]);
        }
        std::uint32_t fetched = 0;
        for (std::size_t i = 0; i < count; ++i) {
            starts[i] = ends[i] = 0;
            if (static_cast<std::size_t>(numbers[i]) + 1 >= cell_starts.size()) continue;
            starts[i] = cell_starts[numbers[i]];
            ends[i] = cell_starts[numbers[i] + 1];
            if (starts[i] > ends[i] || ends[i] > points.size()) continue;
            __builtin_prefetch(points.data() + starts[i]);
            fetched |= 1u << i;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (boxes[i] >= bound()) continue;
            const bool was_fetched = (fetched >> i) & 1u;
            // Offsets skipped by the early bound were not looked up yet.
            std::uint32_t number = numbers[i];
            if (!was_fetched && boxes[i] >= early_bound) number = find_cell(cells[i]);
            if (number == NO_CELL) continue;
            if (visit(number, starts[i], ends[i], was_fetched)) return true;
        }
    }
    return false;
}

template <class Bound, class Visit>
bool VoxelGrid::walk_beyond(const Point& q, const CellCoord& a, Bound&& bound, Visit&& visit) const {
    if (!is_finite(q) || columns.empty()) return false;
    constexpr float fmax = std::numeric_limits<float>::max();
    auto low = [&](float v, std::int32_t bottom) {
        return std::max(cell_coordinate(std::max(v - reach, -fmax), inv_cell_size), bottom);
    };
    auto high = [&](float v, std::int32_t top) {
        return std::min(cell_coordinate(std::min(v + reach, fmax), inv_cell_size), top);
    };
    const CellCoord lo{low(q.x, cells_low.x), low(q.y, cells_low.y), low(q.z, cells_low.z)};
    const CellCoord hi{high(q.x, cells_high.x), high(q.y, cells_high.y), high(q.z, cells_high.z)};
    const auto span = static_cast<std::int32_t>(offset_span);
    auto within_walk = [span](std::int64_t low_cell, std::int64_t centre, std::int64_t high_cell) {
        return centre - low_cell <= span && high_cell - centre <= span;
    };
    const bool z_walked = within_walk(lo.z, a.z, hi.z);
    if (within_walk(lo.x, a.x, hi.x) && within_walk(lo.y, a.y, hi.y) && z_walked)
        return false;  // the usual case: the offset walk covered the range
    // Whether the offset walk, which wraps around the i32 range, visited cell c.
    auto walked = [&](std::int32_t c, std::int32_t centre) {
        const auto d = static_cast<std::int32_t>(static_cast<std::uint32_t>(c) - static_cast<std::uint32_t>(centre));
        return d >= -span && d <= span;
    };
    const CellCoord* coords = cell_coords.data();
    for (std::int64_t x = lo.x; x <= hi.x; ++x) {
        const float gx = squared(axis_gap(q.x, static_cast<std::int32_t>(x)));
        for (std::int64_t y = lo.y; y <= hi.y; ++y) {
            const bool column_walked = walked(static_cast<std::int32_t>(x), a.x) &&
                                       walked(static_cast<std::int32_t>(y), a.y);
            if (column_walked && z_walked) continue;
            const float xy = gx + squared(axis_gap(q.y, static_cast<std::int32_t>(y)));
            if (xy >= bound()) continue;
            const ColumnRange column =
                cells_from(checked_column({static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), 0}), lo.z);
            for (std::uint32_t c = column.start; c < column.end && coords[c].z <= hi.z; ++c) {
                if (coords[c].z < lo.z || (column_walked && walked(coords[c].z, a.z))) continue;
                if (xy + squared(axis_gap(q.z, coords[c].z)) >= bound()) continue;
                if (visit(c, 0, 0, false)) return true;
            }
        }
    }
    return false;
}

template <class Visit>
inline void VoxelGrid::walk_columns(const Point& q, float bound, Visit&& visit) const {
    if (columns.empty()) return;
    const QueryCell at = locate(q);
    // The common neighbourhood of one cell each way with its loops unrolled.
    if (offset_span == 1)
        walk_offset_columns<1>(q, at.cell, bound, visit);
    else
        walk_offset_columns<0>(q, at.cell, bound, visit);
    if (at.beyond)
        walk_beyond(q, at.cell, [bound] { return bound; }, [&](std::uint32_t number, std::uint32_t, std::uint32_t, bool) {
            visit(number);
            return false;
        });
}

template <int Span, class Visit>
inline void VoxelGrid::walk_offset_columns(const Point& q, const CellCoord& a, float bound, Visit&& visit) const {
    GapTable gap_sq;
    const std::int32_t span = Span != 0 ? Span : static_cast<std::int32_t>(offset_span);
    fill_gaps(q, a, gap_sq, span);
    constexpr std::size_t width = 2 * SEPARABLE_SPAN + 1;
    const CellCoord* coords = cell_coords.data();
    // Whether a.z - span .. a.z + span ascend without wrapping around the i32 range.
    const bool z_ascends = a.z >= INT32_MIN + span && a.z <= INT32_MAX - span;
    // Per column, the bit of every dz whose cell passes its box test.
    std::uint32_t passing[width * width];
    std::size_t column_count = 0;
    for (std::int32_t dx = -span; dx <= span; ++dx) {
        for (std::int32_t dy = -span; dy <= span; ++dy) {
            const float xy = gap_sq[0][dx + span] + gap_sq[1][dy + span];
            std::uint32_t mask = 0;
            for (std::int32_t dz = -span; dz <= span; ++dz)
                mask |= static_cast<std::uint32_t>(!(xy + gap_sq[2][dz + span] >= bound)) << (dz + span);
            passing[column_count++] = mask;
            if (mask != 0) columns.prefetch(wrapping_add(a.x, dx), wrapping_add(a.y, dy));
        }
    }
    std::size_t at = 0;
    for (std::int32_t dx = -span; dx <= span; ++dx) {
        for (std::int32_t dy = -span; dy <= span; ++dy) {
            std::uint32_t mask = passing[at++];
            if (mask == 0) continue;
            CellCoord cell{wrapping_add(a.x, dx), wrapping_add(a.y, dy), 0};
            const ColumnRange column = checked_column(cell);
            if (column.start == column.end) continue;
            if (z_ascends) {
                // The column's cells from a.z - span up, each tested against its bit.
                const ColumnRange from = cells_from(column, a.z - span);
                for (std::uint32_t c = from.start; c < from.end && coords[c].z <= a.z + span; ++c) {
                    if (coords[c].z < a.z - span) continue;  // only if cells were out of order
                    if ((mask >> (coords[c].z - (a.z - span))) & 1u) visit(c);
                }
                continue;
            }
            std::uint32_t cursor = column.start;
            for (; mask != 0; mask &= mask - 1) {
                cell.z = wrapping_add(a.z, static_cast<std::int32_t>(__builtin_ctz(mask)) - span);
                const std::uint32_t number = position_in_column(cell, column, cursor);
                if (number != NO_CELL) visit(number);
            }
        }
    }
}

}  // namespace kesra
