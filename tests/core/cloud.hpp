#pragma once
// Point clouds, a brute-force reference and the checks shared by the search tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "index/hybrid/hybrid_grid.hpp"

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

// n lattice points followed by n uniform ones, a little wider.
inline std::vector<Point> lattice_and_loose(std::size_t n, int half, std::uint32_t seed) {
    auto pts = lattice_cloud(n, half, seed), loose = random_cloud(n, -half - 0.5f, half + 0.5f, seed + 1);
    pts.insert(pts.end(), loose.begin(), loose.end());
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
    return brute_nearest(pts, q, r, SIZE_MAX).size();
}

// The rows a list kept, nearest first; without row numbers, the positions.
inline std::vector<std::uint32_t> kept_rows(kesra::NeighbourList& list, const std::vector<std::uint32_t>* rows = nullptr) {
    list.sort_ascending();
    const kesra::Candidate* c = list.data();
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < list.size(); ++i) out.push_back(rows ? rows->at(c[i].position) : c[i].position);
    return out;
}

// S::build(pool, pts, args...) on a pool of `threads`.
template <class S, class... Args>
S build_on(std::size_t threads, const std::vector<Point>& pts, Args... args) {
    S s;
    kesra::WorkerPool::run(threads, [&](kesra::WorkerPool& pool) { s = S::build(pool, view_of(pts), args...); });
    return s;
}

template <class S>
float count_sum(const S& s, const Point& q, float r, std::optional<float> p = std::nullopt) {
    kesra::CountAccumulator acc(r, p);
    s.count_search(q, acc);
    return acc.sum();
}

// How many of a k-nearest and a count search throw an internal error. The list never
// fills in these tests, so nothing is pruned.
template <class S>
int search_failures(const S& s, const Point& q, float r) {
    kesra::NeighbourList list(64, r, 0.0f, 64);
    int thrown = 0;
    try { s.knn_search(q, list); } catch (const kesra::InternalError&) { ++thrown; }
    try { count_sum(s, q, r); } catch (const kesra::InternalError&) { ++thrown; }
    return thrown;
}

// Exact agreement of every k-nearest row and count (plain, p = 0 and p = 2) with brute
// force. Equal distances may come back in any order and a full list may keep any of
// several equally distant points, so rows are compared by distance and each reported row
// against its own distance.
template <class S>
void expect_brute_force(const S& s, const std::vector<Point>& pts, const std::vector<Point>& queries, float r) {
    for (const Point& q : queries) {
        SCOPED_TRACE(::testing::Message() << "r=" << r << " query " << q.x << ", " << q.y << ", " << q.z);
        const auto all = brute_nearest(pts, q, r, SIZE_MAX);
        for (const std::size_t k : {1u, 7u, 300u}) {
            kesra::NeighbourList list(k, r, 0.0f, s.size());
            s.knn_search(q, list);
            const auto rows = kept_rows(list, &s.row_numbers());
            ASSERT_EQ(rows.size(), std::min(k, all.size())) << "k=" << k;
            for (std::size_t i = 0; i < rows.size(); ++i)
                ASSERT_TRUE(list.data()[i].dist_sq == all[i] && brute_d2(q, pts.at(rows[i])) == all[i])
                    << "k=" << k << " rank " << i;
            ASSERT_EQ(std::set(rows.begin(), rows.end()).size(), rows.size()) << "k=" << k << ": a row twice";
        }
        double weights = 0.0;  // p = 2 catches a wrong distance behind a right count
        for (const float d2 : all) weights += std::pow(1.0 - std::sqrt(d2) / r, 2.0);
        const auto n = static_cast<float>(all.size());  // p = 0 adds exactly 1.0 per point
        ASSERT_TRUE(count_sum(s, q, r) == n && count_sum(s, q, r, 0.0f) == n);
        ASSERT_NEAR(count_sum(s, q, r, 2.0f), weights, 1e-4 * std::max(1.0, weights));
    }
}

// `points` and `rows` are the input permuted together: every row once, with its exact bits.
inline void expect_permutation(const std::vector<Point>& points, const std::vector<std::uint32_t>& rows,
                               const std::vector<Point>& input) {
    ASSERT_TRUE(points.size() == input.size() && rows.size() == input.size());
    std::vector<bool> seen(input.size(), false);
    for (std::size_t p = 0; p < rows.size(); ++p) {
        ASSERT_TRUE(rows[p] < input.size() && !seen[rows[p]]) << "position " << p;
        seen[rows[p]] = true;
        ASSERT_EQ(std::memcmp(&points[p], &input[rows[p]], sizeof(Point)), 0) << "position " << p;
    }
}

// Cells strictly ascending, each found by the lookup and owning a non-empty range; the
// ranges tile the points, each of which lies in its own cell.
inline void expect_valid_grid(const kesra::VoxelGrid& g, const std::vector<Point>& input) {
    expect_permutation(g.points, g.original_indices, input);
    const std::size_t cells = g.cell_coords.size();
    ASSERT_EQ(g.cell_starts.size(), cells + 1);
    EXPECT_TRUE(g.cell_starts.front() == 0 && g.cell_starts.back() == input.size());
    auto key = [&](std::size_t c) { return std::tie(g.cell_coords[c].x, g.cell_coords[c].y, g.cell_coords[c].z); };
    for (std::uint32_t c = 0; c < cells; ++c) {
        ASSERT_TRUE(c == 0 || key(c - 1) < key(c)) << "cell " << c;
        ASSERT_LT(g.cell_starts[c], g.cell_starts[c + 1]) << "cell " << c;
        EXPECT_EQ(g.find_cell(g.cell_coords[c]), c);
        for (std::uint32_t p = g.cell_starts[c]; p < g.cell_starts[c + 1]; ++p)
            ASSERT_EQ(g.cell_of(g.points[p]), g.cell_coords[c]) << "position " << p;
    }
}

// Checks the kd (sub)tree at `root` over the positions [begin, end): pre-order links,
// leaves of 8 to 16 points (or one leaf of at most 16) tiling the range in order, every
// split with the lower side <= the value and the median itself on the upper side (NaN
// compares with nothing). Returns the node count.
inline std::uint32_t expect_valid_subtree(const std::vector<kesra::Node>& nodes, const std::vector<Point>& points,
                                          std::uint32_t root, std::uint32_t begin, std::uint32_t end) {
    std::uint32_t next = begin;
    auto visit = [&](auto& self, std::uint32_t at) -> std::uint32_t {
        const kesra::Node& n = nodes.at(at);
        if (n.split_dim == kesra::KD_LEAF_DIM) {
            const std::uint32_t size = n.second - n.first;
            EXPECT_EQ(n.first, next) << "leaf " << at;
            EXPECT_TRUE(end - begin <= 16 ? size == end - begin : size >= 8 && size <= 16) << "leaf " << at;
            next = n.second;
            return 1;
        }
        EXPECT_TRUE(n.first == at + 1 && n.split_dim < 3) << "node " << at;
        if (n.first != at + 1 || n.split_dim > 2) return 1;
        const std::uint32_t lower_begin = next, lower = self(self, n.first);
        EXPECT_EQ(n.second, at + 1 + lower) << "node " << at;
        const std::uint32_t upper_begin = next, upper = self(self, at + 1 + lower);
        float upper_min = INFINITY;
        for (std::uint32_t p = lower_begin; p < next && p < points.size(); ++p) {
            const float c = n.split_dim == 0 ? points[p].x : n.split_dim == 1 ? points[p].y : points[p].z;
            if (std::isnan(c) || std::isnan(n.split_value)) continue;
            EXPECT_TRUE(p < upper_begin ? c <= n.split_value : c >= n.split_value) << "node " << at << " at " << p;
            if (p >= upper_begin) upper_min = std::min(upper_min, c);
        }
        EXPECT_TRUE(std::isnan(n.split_value) || upper_min == n.split_value) << "node " << at;
        return 1 + lower + upper;
    };
    const std::uint32_t count = visit(visit, root);
    EXPECT_EQ(next, end);
    EXPECT_EQ(count, kesra::kd_node_count(end - begin));
    return count;
}

}  // namespace kesra_test
