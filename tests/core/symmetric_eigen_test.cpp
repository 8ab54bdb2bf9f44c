#include "geometry/symmetric_eigen.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "geometry/neighbourhood_moments.hpp"

using kesra::Point;
using kesra::SymmetricEigen;
using kesra::SymmetricMatrix3;
using kesra::Vector3;

namespace {

double dot(const Vector3& a, const Vector3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vector3 cross(const Vector3& a, const Vector3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// The largest departure from ascending values, an orthonormal right-handed basis and
// A v = lambda v, the last relative to size, the scale of the eigenvalues.
double eigen_error(const SymmetricMatrix3& a, const SymmetricEigen& e, double size) {
    const auto& v = e.vectors;
    double worst = std::max({e.values[0] - e.values[1], e.values[1] - e.values[2], 0.0}) / size;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) worst = std::max(worst, std::fabs(dot(v[i], v[j]) - (i == j)));
        const Vector3 av{dot({a.xx, a.xy, a.xz}, v[i]), dot({a.xy, a.yy, a.yz}, v[i]), dot({a.xz, a.yz, a.zz}, v[i])};
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::fabs(av[c] - e.values[i] * v[i][c]) / size);
    }
    return std::isnan(e.values[0]) ? NAN : std::max(worst, std::fabs(dot(cross(v[0], v[1]), v[2]) - 1.0));
}

SymmetricEigen of_points(const std::vector<Point>& pts, kesra::NeighbourhoodMoments& moments) {
    moments.reset(pts.empty() ? Point{0, 0, 0} : pts[0]);
    for (const Point& p : pts) moments.add(p);
    return kesra::symmetric_eigen(moments.covariance());
}

}  // namespace

// Random rotations of diagonal matrices with distinct, repeated, nearly repeated, zero
// and negative eigenvalues, at scales from 1e-20 to 1e20 and near the ends of the double
// range, against the known eigenvalues and, where the two smallest differ by more than
// 1e-3 of the sum, the known eigenvector of the smallest.
TEST(SymmetricEigen, RandomRotationsOfKnownEigenvalues) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> g;
    const double extremes[] = {1e-303, 1e-295, 1e300, DBL_MAX / 8};
    double worst_basis = 0.0, worst_value = 0.0, worst_angle = 0.0;
    for (int trial = 0; trial < 20000; ++trial) {
        double lambda[3];
        for (int i = 0; i < 3; ++i) {
            const int kind = i == 0 ? 4 : static_cast<int>(u(rng) * 8);
            lambda[i] = kind == 0 ? 0.0 : kind == 1 ? lambda[i - 1] : kind == 2 ? lambda[i - 1] * (1 + 1e-9)
                      : kind == 3 ? -u(rng) : u(rng);
        }
        const double scale = trial % 16 == 0 ? extremes[trial / 16 % 4] : std::pow(10.0, 40.0 * u(rng) - 20.0);
        double qw = g(rng), qx = g(rng), qy = g(rng), qz = g(rng);
        const double n = std::sqrt(qw * qw + qx * qx + qy * qy + qz * qz);
        qw /= n, qx /= n, qy /= n, qz /= n;
        const double r[3][3] = {{1 - 2 * (qy * qy + qz * qz), 2 * (qx * qy - qz * qw), 2 * (qx * qz + qy * qw)},
                                {2 * (qx * qy + qz * qw), 1 - 2 * (qx * qx + qz * qz), 2 * (qy * qz - qx * qw)},
                                {2 * (qx * qz - qy * qw), 2 * (qy * qz + qx * qw), 1 - 2 * (qx * qx + qy * qy)}};
        const auto entry = [&](int i, int j) {
            return dot({r[i][0] * lambda[0], r[i][1] * lambda[1], r[i][2] * lambda[2]}, {r[j][0], r[j][1], r[j][2]}) *
                   scale;
        };
        const SymmetricMatrix3 a{entry(0, 0), entry(0, 1), entry(0, 2), entry(1, 1), entry(1, 2), entry(2, 2)};
        const SymmetricEigen e = kesra::symmetric_eigen(a);
        const double size = (std::fabs(lambda[0]) + std::fabs(lambda[1]) + std::fabs(lambda[2])) * scale;
        if (size == 0.0) {
            EXPECT_TRUE(e.values[0] == 0.0 && e.values[2] == 0.0);
            continue;
        }
        worst_basis = std::max(worst_basis, eigen_error(a, e, size));
        const auto smallest = std::min_element(lambda, lambda + 3) - lambda;
        const Vector3 normal{r[0][smallest], r[1][smallest], r[2][smallest]};
        std::sort(lambda, lambda + 3);
        for (int i = 0; i < 3; ++i)
            worst_value = std::max(worst_value, std::fabs(e.values[i] - lambda[i] * scale) / size);
        const Vector3 sine = cross(e.vectors[0], normal);
        if (lambda[1] - lambda[0] > 1e-3 * size / scale)
            worst_angle = std::max(worst_angle, std::sqrt(dot(sine, sine)));
    }
    EXPECT_LT(worst_basis, 1e-12);
    EXPECT_LT(worst_value, 1e-12);
    EXPECT_LT(worst_angle, 1e-9);
}

// Neighbourhoods through the moments: one point, two, collinear and coplanar points far
// from the origin, an isotropic cube, and NaN or no points; and a subnormal matrix.
TEST(SymmetricEigen, DegenerateNeighbourhoods) {
    kesra::NeighbourhoodMoments moments;
    const float o = 1e6f;
    SymmetricEigen e = of_points({{o, o, o}}, moments);
    EXPECT_TRUE(e.values[0] == 0.0 && e.values[2] == 0.0 && e.vectors[0][0] == 1.0);
    e = of_points({{o, o, o}, {o, o, o + 2}}, moments);
    EXPECT_TRUE(e.values[0] == 0.0 && e.values[1] == 0.0 && std::fabs(e.vectors[2][2]) == 1.0);
    EXPECT_NEAR(e.values[2], 1.0, 1e-15);
    std::vector<Point> line, tilted, upright, cube;  // the planes' normals: (1, -1, 1) and x
    for (int t = -2; t <= 2; ++t) line.push_back({o + t, o + 2.0f * t, o - 2.0f * t});
    for (int s = -2; s <= 2; ++s)
        for (int t = -2; t <= 2; ++t) tilted.push_back({o + s, o + t + s, o + t}), upright.push_back({o, o + s, o + t});
    for (int c = 0; c < 8; ++c) cube.push_back({o + (c & 1 ? 1 : -1), o + (c & 2 ? 1 : -1), o + (c & 4 ? 1 : -1)});
    e = of_points(line, moments);
    EXPECT_LT(eigen_error(moments.covariance(), e, 18.0), 1e-12);
    EXPECT_NEAR(e.values[2], 18.0, 1e-12);  // 9 x mean(t^2) = 9 x 2
    EXPECT_NEAR(std::fabs(dot(e.vectors[2], {1.0 / 3, 2.0 / 3, -2.0 / 3})), 1.0, 1e-12);
    for (const auto& [plane, normal] : {std::pair{tilted, Vector3{1, -1, 1}}, std::pair{upright, Vector3{1, 0, 0}}}) {
        e = of_points(plane, moments);
        EXPECT_LT(eigen_error(moments.covariance(), e, 8.0), 1e-12);
        EXPECT_NEAR(e.values[0], 0.0, 1e-12);
        EXPECT_NEAR(std::fabs(dot(e.vectors[0], normal)), std::sqrt(dot(normal, normal)), 1e-12);
    }
    e = kesra::symmetric_eigen({2e-320, 1e-320, 0.0, 2e-320, 0.0, 0.0});  // subnormal: 5e-324 is the last bit
    EXPECT_TRUE(e.values[0] == 0.0 && std::fabs(e.values[1] / 1e-320 - 1) < 1e-3);
    EXPECT_NEAR(e.values[2] / 3e-320, 1.0, 1e-3);
    e = of_points(cube, moments);
    EXPECT_TRUE(e.values[0] == 1.0 && e.values[2] == 1.0 && moments.count() == 8);
    for (const auto& bad : {std::vector<Point>{{o, o, o}, {o, NAN, o}, {o, o, 0}}, std::vector<Point>{{0, 0, INFINITY}},
                            std::vector<Point>{}}) {
        e = of_points(bad, moments);
        EXPECT_TRUE(std::isnan(e.values[0]) && std::isnan(e.values[2]) && std::isnan(e.vectors[0][0]));
    }
}
