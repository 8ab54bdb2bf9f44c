#pragma once
// Integer coordinates of a grid cell, and the order in which a grid numbers its cells.
#include <cstdint>

namespace kesra {

struct CellCoord {
    std::int32_t x, y, z;
    friend bool operator==(const CellCoord&, const CellCoord&) = default;
};

// Whether a comes before b in the (x, y, z) order of cell numbers.
inline bool cell_less(const CellCoord& a, const CellCoord& b) {
    if (a.x != b.x) return a.x < b.x;
    if (a.y != b.y) return a.y < b.y;
    return a.z < b.z;
}

// The cell number of "no cell".
inline constexpr std::uint32_t NO_CELL = 0xFFFFFFFFu;

}  // namespace kesra
