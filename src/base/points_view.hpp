#pragma once
// Points as stored by the structures, and read-only strided views of caller arrays.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kesra {

struct Point {
    float x, y, z;
};

// Squared distance evaluated in the one order every search uses:
// ((qx - px)^2 + (qy - py)^2) + (qz - pz)^2, in float32, query minus point.
inline float squared_distance(const Point& q, const Point& p) {
    const float dx = q.x - p.x;
    const float dy = q.y - p.y;
    const float dz = q.z - p.z;
    return (dx * dx + dy * dy) + dz * dz;
}

inline bool is_finite(const Point& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// Whether every coordinate of points[0, n) is finite.
inline bool all_finite(const Point* points, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!is_finite(points[i])) return false;
    return true;
}

// A read-only (rows, cols) float32 array with arbitrary byte strides. Never copied:
// the structures read the caller's memory through it.
struct PointsView {
    const char* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::ptrdiff_t row_stride = 0;  // bytes
    std::ptrdiff_t col_stride = 0;  // bytes

    // Arrays need not be aligned to 4 bytes: the value is copied out, still one load.
    float at(std::size_t row, std::size_t col) const {
        float v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(row) * row_stride + static_cast<std::ptrdiff_t>(col) * col_stride,
                    sizeof v);
        return v;
    }
    Point point(std::size_t row) const { return {at(row, 0), at(row, 1), at(row, 2)}; }
    void prefetch(std::size_t row) const { __builtin_prefetch(data + static_cast<std::ptrdiff_t>(row) * row_stride); }
};

}  // namespace kesra
