#include "index/voxel/unit_walks.hpp"

namespace kesra {

bool VoxelGrid::keep_neighbourhood(const CellCoord& a, UnitNeighbourhood* hood) const {
    if (hood == nullptr || !hood->worth_keeping()) return false;
    if (hood->filled && hood->centre == a) {
        ++hood->reuses;
        return true;
    }
    ++hood->fills;
    return fill_neighbourhood(a, *hood);
}

bool VoxelGrid::fill_neighbourhood(const CellCoord& a, UnitNeighbourhood& hood) const {
    hood.filled = false;
    // In passes, as walk_unit_cells fetches: columns, then their cell ranges, then the
    // first points, so that the memory latencies overlap.
    for (std::size_t c = 0; c < 9; ++c) columns.prefetch(column_x(a, c), column_y(a, c));
    ColumnRange found[9];
    for (std::size_t c = 0; c < 9; ++c) {
        const ColumnRange column = columns.find(column_x(a, c), column_y(a, c));
        if (!(column.start <= column.end && column.end <= cell_coords.size())) return false;
        found[c] = cells_from(column, a.z - 1);
        if (found[c].start < found[c].end) __builtin_prefetch(cell_starts.data() + found[c].start);
    }
    const CellCoord* coords = cell_coords.data();
    for (std::size_t c = 0; c < 9; ++c) {
        hood.count[c] = 0;
        for (std::uint32_t at = found[c].start; at < found[c].end && coords[at].z <= a.z + 1; ++at) {
            if (coords[at].z < a.z - 1) continue;
            if (hood.count[c] == 3 || static_cast<std::size_t>(at) + 1 >= cell_starts.size()) return false;
            const std::uint32_t start = cell_starts[at], end = cell_starts[at + 1];
            if (!(start <= end && end <= points.size())) return false;
            hood.cells[c][hood.count[c]++] = {at, start, end, coords[at].z - a.z};
            __builtin_prefetch(points.data() + start);
        }
    }
    hood.centre = a;
    hood.filled = true;
    return true;
}

}  // namespace kesra
