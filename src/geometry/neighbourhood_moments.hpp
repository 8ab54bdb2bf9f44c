#pragma once
// First and second moments of one neighbourhood, for its mean and covariance.
//
// Sums are of the offsets p - anchor in double, the anchor being the query point: the
// offsets are about the size of the neighbourhood, so coordinates far from the origin
// (1e6 and more) do not cancel in the centring, and each float difference is exact or
// nearly so in double.
#include <cstddef>

#include "base/points_view.hpp"
#include "geometry/symmetric_eigen.hpp"

namespace kesra {

class NeighbourhoodMoments {
public:
    void reset(const Point& anchor) {
        anchor_ = anchor;
        n_ = 0;
        sx_ = sy_ = sz_ = 0.0;
        sxx_ = sxy_ = sxz_ = syy_ = syz_ = szz_ = 0.0;
    }

    void add(const Point& p) {
        const double dx = static_cast<double>(p.x) - anchor_.x;
        const double dy = static_cast<double>(p.y) - anchor_.y;
        const double dz = static_cast<double>(p.z) - anchor_.z;
        ++n_;
        sx_ += dx;
        sy_ += dy;
        sz_ += dz;
        sxx_ += dx * dx;
        sxy_ += dx * dy;
        sxz_ += dx * dz;
        syy_ += dy * dy;
        syz_ += dy * dz;
        szz_ += dz * dz;
    }

    // Adds the sums of `other`, which must have the same anchor: the moments of both
    // sets of points together.
    void absorb(const NeighbourhoodMoments& other) {
        n_ += other.n_;
        sx_ += other.sx_;
        sy_ += other.sy_;
        sz_ += other.sz_;
        sxx_ += other.sxx_;
        sxy_ += other.sxy_;
        sxz_ += other.sxz_;
        syy_ += other.syy_;
        syz_ += other.syz_;
        szz_ += other.szz_;
    }

    std::size_t count() const { return n_; }

    // The mean of the points added; NaN when there are none.
    Vector3 mean() const {
        const double inv = 1.0 / static_cast<double>(n_);
        return {anchor_.x + sx_ * inv, anchor_.y + sy_ * inv, anchor_.z + sz_ * inv};
    }

    // The population covariance (divided by the count) of the points added; zero for
    // one point, NaN when there are none.
    SymmetricMatrix3 covariance() const {
        const double inv = 1.0 / static_cast<double>(n_);
        const double mx = sx_ * inv, my = sy_ * inv, mz = sz_ * inv;
        return {sxx_ * inv - mx * mx, sxy_ * inv - mx * my, sxz_ * inv - mx * mz,
                syy_ * inv - my * my, syz_ * inv - my * mz, szz_ * inv - mz * mz};
    }

private:
    Point anchor_{0.0f, 0.0f, 0.0f};
    std::size_t n_ = 0;
    double sx_ = 0.0, sy_ = 0.0, sz_ = 0.0;
    double sxx_ = 0.0, sxy_ = 0.0, sxz_ = 0.0, syy_ = 0.0, syz_ = 0.0, szz_ = 0.0;
};

}  // namespace kesra
