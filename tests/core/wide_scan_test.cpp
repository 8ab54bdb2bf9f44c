#include "index/scan/wide_scan.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "index/scan/range_scan.hpp"

using kesra::NeighbourList;
using kesra::Point;

namespace {

// Lattice points (many squared distances exactly equal, some exactly at the bound), with
// a few NaN coordinates.
std::vector<Point> tie_prone_points(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Point> pts(n);
    for (auto& p : pts) {
        p = {static_cast<float>(rng() % 9) * 0.25f, static_cast<float>(rng() % 9) * 0.25f,
             static_cast<float>(rng() % 9) * 0.25f};
        if (rng() % 50 == 0) p.y = std::nanf("");
    }
    return pts;
}

}  // namespace

// Eight lanes at a time must give what offering or counting every point in order gives;
// the narrower scans are checked against the same plain loops elsewhere.
TEST(WideScan, CountsAndOffersMatchPointByPoint) {
    if (!kesra::has_wide_scan()) GTEST_SKIP() << "no AVX2 on this processor";
    const std::vector<Point> pts = tie_prone_points(2000, 7);
    std::mt19937 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const Point q{static_cast<float>(rng() % 9) * 0.25f, static_cast<float>(rng() % 9) * 0.25f,
                      trial % 17 == 0 ? std::nanf("") : static_cast<float>(rng() % 9) * 0.25f};
        const float r = 0.25f * static_cast<float>(1 + rng() % 4);  // r^2 exact: ties at the bound
        const auto start = static_cast<std::uint32_t>(rng() % 1000);
        const auto blocks = static_cast<std::uint32_t>(rng() % 100);
        std::uint64_t expected = 0;
        for (std::uint32_t p = start; p < start + 8 * blocks; ++p)
            expected += !(kesra::squared_distance(q, pts[p]) >= r * r);
        ASSERT_EQ(kesra::count_below_by_eight(q, pts.data(), start, blocks, r * r), expected);

        const std::size_t k = 1 + rng() % 20;
        NeighbourList plain(k, r, 0.0f, pts.size()), wide(k, r, 0.0f, pts.size());
        for (std::uint32_t p = start; p < start + 8 * blocks; ++p) plain.offer(kesra::squared_distance(q, pts[p]), p);
        kesra::offer_by_eight(q, pts.data(), start, blocks, wide);
        ASSERT_EQ(plain.size(), wide.size());
        for (std::size_t i = 0; i < plain.size(); ++i) {
            ASSERT_EQ(plain.data()[i].position, wide.data()[i].position) << "trial " << trial;
            ASSERT_EQ(std::memcmp(&plain.data()[i].dist_sq, &wide.data()[i].dist_sq, sizeof(float)), 0);
        }
    }
}

// A NaN kept at the top of a full list raises the bound inside a block of eight: the rest
// of the block must still be offered.
TEST(WideScan, OffersTheRestOfABlockWhenNaNRaisesTheBound) {
    if (!kesra::has_wide_scan()) GTEST_SKIP() << "no AVX2 on this processor";
    const float nan = std::nanf("");
    std::vector<Point> pts(16, Point{0.9f, 0, 0});
    pts[0] = {0.1f, 0, 0};
    pts[1] = {0.2f, 0, 0};
    pts[2] = {nan, 0, 0};
    pts[3] = {0.5f, 0, 0};  // between the bound before the NaN (0.04) and after it (1)
    const Point q{0, 0, 0};
    NeighbourList plain(2, 1.0f, 0.0f, pts.size()), wide(2, 1.0f, 0.0f, pts.size());
    for (std::uint32_t p = 0; p < pts.size(); ++p) plain.offer(kesra::squared_distance(q, pts[p]), p);
    kesra::offer_range(q, pts.data(), 0, 2, wide);
    kesra::offer_by_eight(q, pts.data(), 2, 1, wide);
    kesra::offer_range(q, pts.data(), 10, 16, wide);
    ASSERT_EQ(plain.size(), wide.size());
    for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(plain.data()[i].position, wide.data()[i].position);
    EXPECT_EQ(plain.threshold(), wide.threshold());
}
