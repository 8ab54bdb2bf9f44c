#pragma once
#include <cstddef>
#include <cstdint>

#include "index/voxel/cell_coord.hpp"

namespace kesra {

// The cells around one cell, as walk_unit_cells finds them: per column (dx, dy), its
// cells with z in [centre.z - 1, centre.z + 1], in ascending z, with their point ranges.
// A task keeps the last one between rows: rows in spatial order often share their cell,
// and then every lookup of the walk is the same; only the box tests depend on the point.
struct UnitNeighbourhood {
    struct Cell {
        std::uint32_t number, start, end;
        std::int32_t dz;
    };
    CellCoord centre{};
    bool filled = false;
    std::uint8_t count[9]{};
    Cell cells[9][3]{};
    // Filling reads all nine columns where a walk reads only those it needs: a task stops
    // keeping neighbourhoods when fewer than a third of its rows reuse one.
    std::size_t reuses = 0, fills = 0;
    bool worth_keeping() const { return fills <= 2 * reuses + 64; }
};

}  // namespace kesra
