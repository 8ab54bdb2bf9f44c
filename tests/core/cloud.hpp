#pragma once
// Point clouds and a brute-force reference shared by the search tests.
#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "index/mod/points_view.hpp"
#include "index/voxel/voxel_grid.hpp"
#include "pool/worker_pool.hpp"

namespace kesra_test {

// Thread sanitizer runs are an order of magnitude slower; keep them small.
#if defined(__SANITIZE_THREAD__)
inline constexpr std::size_t LARGE = 20000;
#else
inline constexpr std::size_t LARGE = 100000;
#endif

using kesra::Point;

inline kesra::PointsView view_of(const std::vector<Point>& pts) {
    return {reinterpret_cast<const char*>(pts.data()), pts.size(), 3, sizeof(Point), sizeof(float)};
}

// Uniform points in [lo, hi)^3.
inline std::vector<Point> random_cloud(std::size_t n, float lo, float hi, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(lo, hi);
    std::vector<Point> pts(n);
    for (auto& p : pts) p = {u(rng), u(rng), u(rng)};
    return pts;
}

// Points on the 0.25 lattice within [-half, half]^3: squared distances are exact, so many
// pairs sit at exactly 1.0, and repeated draws give duplicate points.
inline std::vector<Point> lattice_cloud(std::size_t n, int half, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> u(-4 * half, 4 * half);
    std::vector<Point> pts(n);
    for (auto& p : pts) p = {u(rng) * 0.25f, u(rng) * 0.25f, u(rng) * 0.25f};
    return pts;
}

inline float brute_d2(const Point& q, const Point& p) {
    const float dx = q.x - p.x, dy = q.y - p.y, dz = q.z - p.z;
    return (dx * dx + dy * dy) + dz * dz;
}

// The ascending squared distances of the (at most k) nearest points strictly within r.
inline std::vector<float> brute_nearest(const std::vector<Point>& pts, const Point& q, float r, std::size_t k) {
    std::vector<float> d2s;
    for (const auto& p : pts)
        if (const float d2 = brute_d2(q, p); d2 < r * r) d2s.push_back(d2);
    std::sort(d2s.begin(), d2s.end());
    if (d2s.size() > k) d2s.resize(k);
    return d2s;
}

inline std::size_t brute_count(const std::vector<Point>& pts, const Point& q, float r) {
    return static_cast<std::size_t>(
        std::count_if(pts.begin(), pts.end(), [&](const Point& p) { return brute_d2(q, p) < r * r; }));
}

inline kesra::VoxelGrid build_grid(const std::vector<Point>& pts, float r, std::uint32_t m, std::size_t threads = 2) {
    kesra::VoxelGrid grid;
    kesra::WorkerPool::run(threads, [&](kesra::WorkerPool& pool) { grid = kesra::VoxelGrid::build(pool, view_of(pts), r, m); });
    return grid;
}

}  // namespace kesra_test
