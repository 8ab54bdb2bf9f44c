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

// Seeded hash of up to three cell coordinates for the grid's hash maps: each coordinate
// spread by its own odd multiplier, then the bits mixed.
inline std::uint64_t cell_hash(std::uint64_t seed, std::int32_t x, std::int32_t y, std::int32_t z = 0) {
    std::uint64_t h = seed;
    h ^= static_cast<std::uint32_t>(x) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<std::uint32_t>(y) * 0xC2B2AE3D27D4EB4Full;
    h ^= static_cast<std::uint32_t>(z) * 0x165667B19E3779F9ull;
    h ^= h >> 31;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 29;
    return h;
}

// The cell number of "no cell".
inline constexpr std::uint32_t NO_CELL = 0xFFFFFFFFu;

}  // namespace kesra
