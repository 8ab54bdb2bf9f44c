#include "index/voxel/saved_grid.hpp"

#include <algorithm>

#include "base/errors.hpp"

namespace kesra {

void check_cell_lookup(const std::vector<CellCoord>& cells, const std::vector<LookupEntry>& entries) {
    for (std::size_t c = 1; c < cells.size(); ++c)
        if (!cell_less(cells[c - 1], cells[c]))
            throw InvalidArgument("invalid grid: cell_coords are not in ascending (x, y, z) order");
    const auto mismatch = [] { throw InvalidArgument("invalid grid: cell_lookup does not map each cell to its number"); };
    // Per cell, the number its last entry gives. A right entry names its own cell; any
    // other is placed by a binary search over the sorted cells.
    std::vector<std::uint32_t> mapped(cells.size(), NO_CELL);
    for (const LookupEntry& e : entries) {
        std::size_t c = e.number;
        if (c >= cells.size() || !(cells[c] == e.cell)) {
            const auto it = std::lower_bound(cells.begin(), cells.end(), e.cell, cell_less);
            if (it == cells.end() || !(*it == e.cell)) mismatch();
            c = static_cast<std::size_t>(it - cells.begin());
        }
        mapped[c] = e.number;
    }
    for (std::size_t c = 0; c < cells.size(); ++c)
        if (mapped[c] != c) mismatch();
}

void check_offsets(const std::vector<CellCoord>& offsets) {
    std::uint32_t m = 1;
    while ((2 * static_cast<std::uint64_t>(m) + 1) * (2 * m + 1) * (2 * m + 1) < offsets.size()) ++m;
    if (offsets != VoxelGrid::make_neighbour_offsets(m))
        throw InvalidArgument("invalid grid: neighbour_offsets is not the offset table of any cells_per_radius");
}

}  // namespace kesra
