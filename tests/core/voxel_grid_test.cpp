#include "index/voxel/voxel_grid.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <tuple>
#include <vector>

#include "cloud.hpp"

using kesra::CellCoord;
using kesra::Point;
using kesra::VoxelGrid;
using namespace kesra_test;

namespace {

auto as_tuple(const CellCoord& c) { return std::tie(c.x, c.y, c.z); }

bool same_bits(const Point& a, const Point& b) { return std::memcmp(&a, &b, sizeof(Point)) == 0; }

void expect_consistent(const VoxelGrid& grid, const std::vector<Point>& input) {
    const std::size_t n = input.size(), cells = grid.cell_coords.size();
    ASSERT_EQ(grid.points.size(), n);
    ASSERT_EQ(grid.original_indices.size(), n);
    ASSERT_EQ(grid.cell_starts.size(), cells + 1);
    EXPECT_EQ(grid.cell_starts.front(), 0u);
    EXPECT_EQ(grid.cell_starts.back(), n);
    EXPECT_EQ(grid.cell_lookup.size(), cells);
    std::vector<bool> seen(n, false);
    for (std::size_t c = 0; c < cells; ++c) {
        if (c > 0) {
            ASSERT_LT(as_tuple(grid.cell_coords[c - 1]), as_tuple(grid.cell_coords[c])) << "cell " << c;
        }
        ASSERT_LT(grid.cell_starts[c], grid.cell_starts[c + 1]) << "cell " << c;
        EXPECT_EQ(grid.cell_lookup.find(grid.cell_coords[c]), c);
        for (std::uint32_t p = grid.cell_starts[c]; p < grid.cell_starts[c + 1]; ++p) {
            const std::uint32_t row = grid.original_indices[p];
            ASSERT_LT(row, n);
            ASSERT_FALSE(seen[row]) << "row " << row << " stored twice";
            seen[row] = true;
            ASSERT_TRUE(same_bits(grid.points[p], input[row])) << "position " << p;
            ASSERT_EQ(grid.cell_of(grid.points[p]), grid.cell_coords[c]) << "position " << p;
        }
    }
}

// Cells, their ranges and, per cell, the (row, point) pairs in row order: equal for two
// grids that differ only in the order of points within cells.
auto canonical(const VoxelGrid& grid) {
    std::vector<std::vector<std::tuple<std::uint32_t, float, float, float>>> per_cell;
    for (std::size_t c = 0; c + 1 < grid.cell_starts.size(); ++c) {
        auto& rows = per_cell.emplace_back();
        for (std::uint32_t p = grid.cell_starts[c]; p < grid.cell_starts[c + 1]; ++p)
            rows.emplace_back(grid.original_indices[p], grid.points[p].x, grid.points[p].y, grid.points[p].z);
        std::sort(rows.begin(), rows.end());
    }
    std::vector<std::tuple<int, int, int>> coords;
    for (const auto& c : grid.cell_coords) coords.emplace_back(c.x, c.y, c.z);
    return std::make_tuple(grid.cell_size, grid.inv_cell_size, coords, grid.cell_starts, per_cell);
}

int offset_key(const CellCoord& d) {
    auto part = [](int v) { return std::max(std::abs(v) - 1, 0) * std::max(std::abs(v) - 1, 0); };
    return part(d.x) + part(d.y) + part(d.z);
}

}  // namespace

TEST(VoxelGrid, BuildKeepsEveryInvariant) {
    auto pts = lattice_cloud(3000, 3, 1);  // duplicates and points on cell faces
    auto more = random_cloud(3000, -5.0f, 5.0f, 2);
    pts.insert(pts.end(), more.begin(), more.end());
    const float inf = std::numeric_limits<float>::infinity();
    pts.push_back({std::nanf(""), -inf, inf});
    pts.push_back({1e30f, -1e30f, -0.0f});
    for (const std::uint32_t m : {1u, 2u, 3u}) {
        const VoxelGrid grid = build_grid(pts, 1.0f, m);
        SCOPED_TRACE(m);
        EXPECT_EQ(grid.cell_size, 1.0f / static_cast<float>(m));
        EXPECT_EQ(grid.inv_cell_size, 1.0f / grid.cell_size);
        expect_consistent(grid, pts);
        EXPECT_EQ(grid.cell_lookup.find({1000, 1000, 1000}), kesra::CellLookup::EMPTY);
    }
}

TEST(VoxelGrid, SameGridWhateverThePoolSize) {
    const auto pts = random_cloud(LARGE, -20.0f, 20.0f, 4);
    const auto reference = canonical(build_grid(pts, 1.0f, 1, 1));
    for (const std::size_t threads : {2, 3}) EXPECT_EQ(canonical(build_grid(pts, 1.0f, 1, threads)), reference);
}

TEST(VoxelGrid, EmptyCloudAndZeroCellsPerRadius) {
    const VoxelGrid empty = build_grid({}, 2.0f, 0);
    EXPECT_EQ(empty.cell_starts, std::vector<std::uint32_t>{0});
    EXPECT_TRUE(empty.cell_coords.empty());
    EXPECT_TRUE(empty.cell_lookup.empty());
    EXPECT_EQ(empty.cell_size, 2.0f);
    EXPECT_EQ(empty.neighbour_offsets.size(), 27u);
    kesra::NeighbourList list(4, 2.0f, 0.0f, 0);
    empty.knn_search({0, 0, 0}, list);
    EXPECT_EQ(list.size(), 0u);
    kesra::CountAccumulator acc(2.0f, std::nullopt);
    empty.count_search({0, 0, 0}, acc);
    EXPECT_EQ(acc.sum(), 0.0f);

    const auto pts = random_cloud(200, -3.0f, 3.0f, 5);
    EXPECT_EQ(canonical(build_grid(pts, 0.7f, 0)), canonical(build_grid(pts, 0.7f, 1)));
}

// Every offset once, ordered by key, and in generation order among equal keys. For m = 1
// that is generation order itself; for larger m the 27 key-0 offsets of the centre block
// come first and the 8 corners, the only ones with the largest key, last.
TEST(VoxelGrid, NeighbourOffsetsGoNearToFar) {
    for (const std::uint32_t m : {1u, 2u, 3u}) {
        const auto offsets = VoxelGrid::make_neighbour_offsets(m);
        const int lim = static_cast<int>(m);
        std::vector<CellCoord> all;  // generation order: dx slowest, dz fastest
        for (int dx = -lim; dx <= lim; ++dx)
            for (int dy = -lim; dy <= lim; ++dy)
                for (int dz = -lim; dz <= lim; ++dz) all.push_back({dx, dy, dz});
        auto sorted = offsets;
        std::sort(sorted.begin(), sorted.end(), [](auto& a, auto& b) { return as_tuple(a) < as_tuple(b); });
        ASSERT_EQ(sorted, all) << "m=" << m;
        for (std::size_t i = 1; i < offsets.size(); ++i) {
            const int a = offset_key(offsets[i - 1]), b = offset_key(offsets[i]);
            ASSERT_LE(a, b) << "m=" << m << " i=" << i;
            if (a == b) {
                ASSERT_LT(as_tuple(offsets[i - 1]), as_tuple(offsets[i])) << "m=" << m << " i=" << i;
            }
        }
    }
}

TEST(VoxelGrid, CellOfFloorsAndSaturates) {
    const VoxelGrid unit = build_grid({}, 1.0f, 1);
    const float nan = std::nanf(""), inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(unit.cell_of({nan, 1e30f, -1e30f}), (CellCoord{0, INT32_MAX, INT32_MIN}));
    EXPECT_EQ(unit.cell_of({inf, -inf, -0.25f}), (CellCoord{INT32_MAX, INT32_MIN, -1}));
    EXPECT_EQ(unit.cell_of({2147483648.0f, -2147483648.0f, 2147483520.0f}),
              (CellCoord{INT32_MAX, INT32_MIN, 2147483520}));
    EXPECT_EQ(unit.cell_of({-2147483904.0f, -0.0f, -1e-30f}), (CellCoord{INT32_MIN, 0, -1}));

    const VoxelGrid half = build_grid({}, 1.0f, 2);  // cell size 0.5: exact multiples own the upper cell
    EXPECT_EQ(half.cell_of({1.0f, -0.5f, 0.5f}), (CellCoord{2, -1, 1}));
    EXPECT_EQ(half.cell_of({0.49999997f, -0.50000006f, 0.0f}), (CellCoord{0, -2, 0}));
}

class VoxelSearch : public ::testing::TestWithParam<std::uint32_t> {};

// Exact comparison with brute force. Equal distances may come back in any order and a full
// list may keep any of several equally distant points, so rows are compared by distance
// and every reported position is checked against its own distance.
TEST_P(VoxelSearch, AgreesWithBruteForce) {
    const std::uint32_t m = GetParam();
    const float r = 1.0f;
    auto pts = lattice_cloud(1500, 2, 10 + m);
    const auto loose = random_cloud(1500, -2.5f, 2.5f, 20 + m);
    pts.insert(pts.end(), loose.begin(), loose.end());
    auto queries = lattice_cloud(150, 3, 30 + m);
    const auto loose_queries = random_cloud(150, -3.0f, 3.0f, 40 + m);
    queries.insert(queries.end(), loose_queries.begin(), loose_queries.end());
    queries.push_back({50.0f, 50.0f, 50.0f});  // far from everything

    const VoxelGrid grid = build_grid(pts, r, m);
    for (const std::size_t k : {1u, 7u, 400u}) {
        kesra::NeighbourList list(k, r, 0.0f, pts.size());
        for (std::size_t qi = 0; qi < queries.size(); ++qi) {
            const Point q = queries[qi];
            list.reset();
            grid.knn_search(q, list);
            list.sort_ascending();
            const auto expected = brute_nearest(pts, q, r, k);
            ASSERT_EQ(list.size(), expected.size()) << "k=" << k << " query " << qi;
            std::vector<std::uint32_t> rows;
            for (std::size_t i = 0; i < list.size(); ++i) {
                const auto& c = list.data()[i];
                ASSERT_EQ(c.dist_sq, expected[i]) << "k=" << k << " query " << qi << " rank " << i;
                const std::uint32_t row = grid.original_indices.at(c.position);
                ASSERT_EQ(brute_d2(q, pts[row]), c.dist_sq);
                rows.push_back(row);
            }
            std::sort(rows.begin(), rows.end());
            ASSERT_TRUE(std::adjacent_find(rows.begin(), rows.end()) == rows.end()) << "query " << qi;
        }
    }
    kesra::CountAccumulator acc(r, std::nullopt);
    for (std::size_t qi = 0; qi < queries.size(); ++qi) {
        acc.reset();
        grid.count_search(queries[qi], acc);
        ASSERT_EQ(acc.sum(), static_cast<float>(brute_count(pts, queries[qi], r))) << "query " << qi;
    }
}

INSTANTIATE_TEST_SUITE_P(CellsPerRadius, VoxelSearch, ::testing::Values(1u, 2u, 3u));

// Fields of a restored grid can be anything; every index followed must be checked.
TEST(VoxelGrid, CorruptedRangesAreInternalErrors) {
    const std::vector<Point> pts = {{0.1f, 0.1f, 0.1f}, {0.2f, 0.2f, 0.2f}, {1.5f, 0.1f, 0.1f}, {1.6f, 0.2f, 0.2f}};
    const VoxelGrid good = build_grid(pts, 1.0f, 1);
    ASSERT_EQ(good.cell_starts, (std::vector<std::uint32_t>{0, 2, 4}));
    auto beyond_n = good, decreasing = good, short_starts = good;
    beyond_n.cell_starts[1] = 9;
    decreasing.cell_starts[0] = 3;
    short_starts.cell_starts.pop_back();
    for (const VoxelGrid* grid : {&beyond_n, &decreasing, &short_starts}) {
        kesra::NeighbourList list(4, 1.0f, 0.0f, pts.size());  // never full: no cell is pruned
        kesra::CountAccumulator acc(1.0f, std::nullopt);
        EXPECT_THROW(grid->knn_search({0.15f, 0.15f, 0.15f}, list), kesra::InternalError);
        EXPECT_THROW(grid->count_search({0.15f, 0.15f, 0.15f}, acc), kesra::InternalError);
    }
}

TEST(VoxelGrid, HugeCellsPerRadiusFailsAsAWholeWithBadAlloc) {
    const auto pts = random_cloud(10, 0.0f, 1.0f, 6);
    for (const std::uint32_t m : {1u << 20, 1u << 30, 0x80000000u, UINT32_MAX})
        EXPECT_THROW(build_grid(pts, 1.0f, m), std::bad_alloc) << "m=" << m;
}

// Tables that pass the overflow guard but not the memory check fail the same way.
TEST(VoxelGrid, OffsetTableBeyondMaxSizeIsBadAllocToo) {
    EXPECT_THROW(VoxelGrid::make_neighbour_offsets(1u << 19), std::bad_alloc);
}
