#pragma once
// One neighbourhood's shape as the local shape queries write it: the eigenvalues of the
// covariance of its points, ascending, and the unit eigenvector of the smallest, the
// normal. Every query that writes a shape writes it here, so they all follow the same
// rules for neighbourhoods that have no shape or no normal.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "base/points_view.hpp"
#include "geometry/neighbourhood_moments.hpp"
#include "geometry/symmetric_eigen.hpp"

namespace kesra {

// A covariance of fewer points than this has no plane to give a normal of.
inline constexpr std::size_t MIN_SHAPE_POINTS = 3;
// A neighbourhood has no normal when its two smallest eigenvalues differ by no more than
// this share of the largest (points on a line, up to the rounding of float32
// coordinates), or when the largest is 0 (every point at one spot): its smallest
// eigenvector is then any direction of a plane or of space, which rounding picks.
inline constexpr double FLAT_SHARE = 1e-6;

// Writes three eigenvalues to `value` and three normal components to `normal`: NaN for
// fewer than MIN_SHAPE_POINTS points; NaN normals where there is none. With `viewpoint`,
// the normal is turned to point towards it from `q` (at right angles it stays as found).
inline void write_shape(const NeighbourhoodMoments& moments, const Point& q, const std::optional<Point>& viewpoint,
                        float* value, float* normal) {
    if (moments.count() < MIN_SHAPE_POINTS) {
        std::fill_n(value, 3, NAN);
        std::fill_n(normal, 3, NAN);
        return;
    }
    const SymmetricEigen shape = symmetric_eigen(moments.covariance());
    const Vector3& v = shape.vectors[0];
    // Rounding can leave a flat or straight neighbourhood's smallest eigenvalues a hair
    // below zero.
    for (int i = 0; i < 3; ++i) value[i] = static_cast<float>(std::max(shape.values[i], 0.0));
    const double largest = shape.values[2];
    if (!(largest > 0.0) || shape.values[1] - shape.values[0] <= FLAT_SHARE * largest) {
        std::fill_n(normal, 3, NAN);
        return;
    }
    double sign = 1.0;
    if (viewpoint) {
        const double towards = (static_cast<double>(viewpoint->x) - q.x) * v[0] +
                               (static_cast<double>(viewpoint->y) - q.y) * v[1] +
                               (static_cast<double>(viewpoint->z) - q.z) * v[2];
        if (towards < 0.0) sign = -1.0;
    }
    for (int i = 0; i < 3; ++i) normal[i] = static_cast<float>(sign * v[i]);
}

}  // namespace kesra
