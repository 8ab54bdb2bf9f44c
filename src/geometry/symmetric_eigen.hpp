#pragma once
// Eigenvalues and orthonormal eigenvectors of a symmetric 3x3 matrix, in double.
//
// The matrix is scaled by a power of two so that its largest entry lies in [0.5, 1):
// nothing overflows or underflows in between, and the scaling is exact. Written as
// A = q I + D with D free of trace, the eigenvalue of D farthest from the other two is
// the largest or smallest root of a cubic, where the cubic is steep: a polynomial and
// one Newton step find it. Its eigenvector is the longest cross product of two rows of
// D minus that root. The other two eigenpairs are those of D on the plane orthogonal to
// it, a 2x2 problem solved in closed form, which stays accurate however close those two
// eigenvalues are. So the vectors are orthonormal by construction, and nothing
// iterates. The solve is one chain of dependent operations and its length is the cost
// (about 90-100 ns): square roots and divisions are placed to overlap other work, and
// the unpredictable choices stay branches, cheaper here than selects.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>

namespace kesra {

// The six distinct entries of a symmetric 3x3 matrix.
struct SymmetricMatrix3 {
    double xx, xy, xz, yy, yz, zz;
};

using Vector3 = std::array<double, 3>;

struct SymmetricEigen {
    std::array<double, 3> values;  // ascending
    std::array<Vector3, 3> vectors;  // vectors[i]: unit eigenvector of values[i]; a right-handed basis
};

namespace eigen_detail {

inline Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vector3 times(const SymmetricMatrix3& a, const Vector3& v) {
    return {a.xx * v[0] + a.xy * v[1] + a.xz * v[2], a.xy * v[0] + a.yy * v[1] + a.yz * v[2],
            a.xz * v[0] + a.yz * v[1] + a.zz * v[2]};
}
inline Vector3 combine(double a, const Vector3& x, double b, const Vector3& y) {
    return {a * x[0] + b * y[0], a * x[1] + b * y[1], a * x[2] + b * y[2]};
}

// The largest root of x^3 - 3x - 2r for r in [0, 1]. It lies in [sqrt 3, 2], where the
// slope is at least 6: a polynomial fit within 6e-8 and one Newton step give it to
// rounding.
inline double largest_cubic_root(double r) {
    const double r2 = r * r, r4 = r2 * r2;
    const double x = ((1.7320508635388678 + 0.3333291150422969 * r) +
                      r2 * (-0.0961466743288906 + 0.04875851804850336 * r)) +
                     r4 * ((-0.028543577120085775 + 0.015318279792939959 * r) +
                           r2 * (-0.005862072860504234 + 0.0010955891225792943 * r));
    const double x2 = x * x;
    return x - (x * (x2 - 3.0) - 2.0 * r) / (3.0 * (x2 - 1.0));
}

inline SymmetricEigen not_a_number() {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const Vector3 v{nan, nan, nan};
    return {{nan, nan, nan}, {v, v, v}};
}

// The diagonal sorted, with the axes; a swap negates one axis to keep the basis
// right-handed.
inline SymmetricEigen sorted_diagonal(const SymmetricMatrix3& m) {
    SymmetricEigen e{{m.xx, m.yy, m.zz}, {Vector3{1, 0, 0}, Vector3{0, 1, 0}, Vector3{0, 0, 1}}};
    const auto order = [&e](int i, int j) {
        if (e.values[j] < e.values[i]) {
            std::swap(e.values[i], e.values[j]);
            std::swap(e.vectors[i], e.vectors[j]);
            for (double& c : e.vectors[j]) c = -c;
        }
    };
    order(0, 1);
    order(1, 2);
    order(0, 1);
    return e;
}

}  // namespace eigen_detail

// Any NaN or infinite entry gives NaN values and vectors. A matrix whose off-diagonal
// entries and spread of the diagonal are below about 1e-50 of its largest entry (the
// zero matrix, or a multiple of the identity) gives its sorted diagonal and the axes.
inline SymmetricEigen symmetric_eigen(const SymmetricMatrix3& m) {
    using namespace eigen_detail;
    for (double x : {m.xx, m.xy, m.xz, m.yy, m.yz, m.zz})
        if (!std::isfinite(x)) return not_a_number();
    const double largest = std::max({std::fabs(m.xx), std::fabs(m.xy), std::fabs(m.xz), std::fabs(m.yy),
                                     std::fabs(m.yz), std::fabs(m.zz)});
    // Scaled by 2^-exponent, the binary exponent of the largest entry. Near the ends of
    // the range 2^-exponent or 2^exponent is not a normal double: there ldexp scales.
    const int exponent = static_cast<int>(std::bit_cast<std::uint64_t>(largest) >> 52) - 1022;
    const bool extreme = exponent < -1000 || exponent > 1000;
    const auto power_of_two = [extreme](int k) {
        return extreme ? 1.0 : std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
    };
    const double down = power_of_two(-exponent), up = power_of_two(exponent);
    const auto scaled = [&](double x) { return extreme ? std::ldexp(x, -exponent) : x * down; };
    const auto unscaled = [&](double x) { return extreme ? std::ldexp(x, exponent) : x * up; };
    const SymmetricMatrix3 a{scaled(m.xx), scaled(m.xy), scaled(m.xz), scaled(m.yy), scaled(m.yz), scaled(m.zz)};

    // A = q I + D = q I + p B with trace(B) = 0 and trace(B^2) = 6: B's eigenvalues are
    // the roots of x^3 - 3x - det(B), 2 cos(phi + 2 pi j / 3) with cos(3 phi) = det(B) / 2.
    // The one farthest from the other two, by at least sqrt 3, is the largest when
    // det(B) >= 0, else the smallest. The rounding t left in the trace by the mean q0 is
    // taken out, so that D is free of trace even when A is a multiple of the identity to
    // rounding (p2 has it taken out too, without waiting for it).
    const double q0 = (a.xx + a.yy + a.zz) * (1.0 / 3.0);
    const double ex = a.xx - q0, ey = a.yy - q0, ez = a.zz - q0, t = (ex + ey + ez) * (1.0 / 3.0);
    const SymmetricMatrix3 d{ex - t, a.xy, a.xz, ey - t, a.yz, ez - t};
    const double q = q0 + t;
    const double off = a.xy * a.xy + a.xz * a.xz + a.yz * a.yz;
    const double p2 = ((ex * ex + ey * ey + ez * ez) - 3.0 * t * t + 2.0 * off) * (1.0 / 6.0);
    if (!(p2 > 1e-100)) return sorted_diagonal(m);
    // Working on D rather than B lets det(D) overlap the square root.
    const double p = std::sqrt(p2), inv_p = 1.0 / p;
    const double half_det = 0.5 * (d.xx * (d.yy * d.zz - d.yz * d.yz) - d.xy * (d.xy * d.zz - d.yz * d.xz) +
                                   d.xz * (d.xy * d.yz - d.yy * d.xz)) * (inv_p * inv_p * inv_p);
    const bool largest_isolated = !std::signbit(half_det);
    const double root = largest_cubic_root(std::min(std::fabs(half_det), 1.0));
    const double isolated = std::copysign(root, half_det) * p;  // an eigenvalue of D

    // Its eigenvector w: the longest cross product c of two rows of D - isolated I,
    // which has rank 2. One of those two rows, o, is orthogonal to c: o and c x o span
    // the other eigenvectors.
    const Vector3 r0{d.xx - isolated, d.xy, d.xz}, r1{d.xy, d.yy - isolated, d.yz}, r2{d.xz, d.yz, d.zz - isolated};
    const Vector3 c0 = cross(r0, r1), c1 = cross(r0, r2), c2 = cross(r1, r2);
    const double n0 = dot(c0, c0), n1 = dot(c1, c1), n2 = dot(c2, c2);
    const int best = n0 >= n1 ? (n0 >= n2 ? 0 : 2) : (n1 >= n2 ? 1 : 2);
    const Vector3& c = best == 0 ? c0 : best == 1 ? c1 : c2;
    const Vector3& o = best == 2 ? r1 : r0;
    const Vector3 oc = cross(c, o);
    // Unit lengths are applied late, so that the square roots overlap the products.
    const double inv_c = 1.0 / std::sqrt(std::max({n0, n1, n2})), inv_o = 1.0 / std::sqrt(dot(o, o));
    const double oo = inv_o * inv_o, ooc = oo * inv_c;

    // D on the plane of u = o / |o| and v = c x o / |c x o| is [[s00, g], [g, s11]], with
    // eigenvalues mid -+ r, r = hypot(h, g), h = (s11 - s00) / 2. In (u, v) the
    // eigenvector of mid - r is (r + h, -g) or (g, h - r): the one whose first or second
    // component, of size l = r + |h|, has no cancellation.
    const Vector3 d_o = times(d, o), d_oc = times(d, oc);
    const double s00 = dot(o, d_o) * oo, g = dot(o, d_oc) * ooc, s11 = dot(oc, d_oc) * (ooc * inv_c);
    const double h = 0.5 * (s11 - s00), mid = 0.5 * (s00 + s11), r = std::sqrt(h * h + g * g), l = r + std::fabs(h);
    // |(l, g)|^2 = 2 r l. Below 1e-150 (p is at least 1e-50) D is taken as diagonal on the
    // plane, before the square roots lose precision to underflow.
    const bool rotate = l > 1e-150;
    const double k = rotate ? 1.0 / std::sqrt(2.0 * r * l) : 0.0;
    const bool u_lower = h >= 0.0;
    const double cu = (u_lower ? l : g) * k + (rotate ? 0.0 : 1.0), cv = (u_lower ? -g : -l) * k;
    const double ku = inv_o, kv = inv_c * inv_o;  // 1 / |o|, 1 / |c x o|
    const Vector3 lower = combine(cu * ku, o, cv * kv, oc), upper = combine(-cv * ku, o, cu * kv, oc);
    const Vector3 w{c[0] * inv_c, c[1] * inv_c, c[2] * inv_c};
    // The isolated eigenvalue is at least sqrt(3) p from the others, and q + mu keeps
    // their order; only a matrix that is a multiple of the identity to rounding, whose D
    // is noise, can break it, by rounding: the min and max keep the values ascending.
    const double lo = unscaled(q + (mid - r)), hi = unscaled(q + (mid + r)), iso = unscaled(q + isolated);
    if (largest_isolated) return {{lo, hi, std::max(iso, hi)}, {lower, upper, w}};
    return {{std::min(iso, lo), lo, hi}, {w, lower, upper}};
}

}  // namespace kesra
