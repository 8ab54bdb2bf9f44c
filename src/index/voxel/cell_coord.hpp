#pragma once
// Integer coordinates of a grid cell, how a coordinate finds its cell, and the order in
// which a grid numbers its cells.
#include <cmath>
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

// floor(t) saturated to i32; NaN goes to 0.
[[gnu::always_inline]] inline std::int32_t floor_to_cell(float t) {
    // Below 2^23 in magnitude the truncated value is exact, and one step down makes it the
    // floor; this spares a call to floorf, which baseline x86-64 has no instruction for.
    if (std::fabs(t) < 8388608.0f) {
        const auto i = static_cast<std::int32_t>(t);
        return i - static_cast<std::int32_t>(static_cast<float>(i) > t);
    }
    // Larger magnitudes are whole numbers already.
    if (t != t) return 0;
    if (t >= 2147483648.0f) return INT32_MAX;
    if (t < -2147483648.0f) return INT32_MIN;
    return static_cast<std::int32_t>(t);
}

// floor_to_cell(t), and how far t lies from the middle of that cell, as
// |(t - trunc(t)) - 0.5|: 0 in the middle, 0.5 on a face (and from 2^23 on), NaN for NaN.
struct CellPlace {
    std::int32_t cell;
    float from_middle;
};
[[gnu::always_inline]] inline CellPlace place_in_cell(float t) {
    if (std::fabs(t) < 8388608.0f) {
        const auto i = static_cast<std::int32_t>(t);
        const float whole = static_cast<float>(i);
        return {i - static_cast<std::int32_t>(whole > t), std::fabs(std::fabs(t - whole) - 0.5f)};
    }
    return {floor_to_cell(t), t == t ? 0.5f : t};
}

// floor(v * inv) saturated to i32; NaN goes to 0.
inline std::int32_t cell_coordinate(float v, float inv) { return floor_to_cell(v * inv); }

// a + b in 32-bit integers that wrap on overflow, as cells are offset.
inline std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace kesra
