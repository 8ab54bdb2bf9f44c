#include "index/voxel/voxel_grid.hpp"

#include "cloud.hpp"

#include <bit>
#include <cmath>
#include <random>

using kesra::CellCoord;
using kesra::VoxelGrid;
using namespace kesra_test;

// The pool splits the build's passes beyond 2^14 points. Cells whose key fits 64 bits
// with the row number, only without it, and not at all take the three ways of sorting.
// Points far out (1e4 and more) overhang cells of 1/3 by rounding, so box_slack is not 0.
TEST(VoxelGrid, BuildKeepsEveryInvariant) {
    auto base = lattice_and_loose(LARGE / 2, 5, 1);  // duplicates and points on cell faces
    for (Point p : random_cloud(2000, 1e4f, 1e4f + 30.0f, 2)) base.push_back({p.x, p.y, p.z + 1e4f});
    const std::vector<std::vector<Point>> extremes = {
        {}, {{1e30f, 1e6f, 0.0f}}, {{NAN, -INFINITY, INFINITY}, {1e30f, -1e30f, -0.0f}}};
    for (const auto& extra : extremes) {
        auto pts = base;
        pts.insert(pts.end(), extra.begin(), extra.end());
        for (const std::uint32_t m : {0u, 3u}) {  // zero acts as one
            SCOPED_TRACE(::testing::Message() << extra.size() << " extreme points, m=" << m);
            const VoxelGrid grid = build_on<VoxelGrid>(3, pts, 1.0f, m);
            EXPECT_EQ(grid.cell_size, 1.0f / static_cast<float>(std::max(m, 1u)));
            EXPECT_EQ(grid.inv_cell_size, 1.0f / grid.cell_size);
            expect_valid_grid(grid, pts);
            const VoxelGrid alone = build_on<VoxelGrid>(1, pts, 1.0f, m);  // the same order on one thread
            EXPECT_TRUE(alone.original_indices == grid.original_indices && alone.cell_coords == grid.cell_coords);
            // The order within a cell follows from the cell's rows alone: rows added in
            // other cells leave it as it is, as an unstable sort would not.
            auto more = pts;
            for (std::size_t i = 0; i < 5000; ++i) more.push_back({pts[i].x + 40.0f, pts[i].y, pts[i].z});
            const VoxelGrid wider = build_on<VoxelGrid>(3, more, 1.0f, m);
            for (std::uint32_t c = 0; c < grid.cell_coords.size(); ++c) {
                const auto [start, end] = grid.cell_range(c);
                const auto [from, to] = wider.cell_range(wider.find_cell(grid.cell_coords[c]));
                const auto rows = grid.original_indices.begin(), wider_rows = wider.original_indices.begin();
                ASSERT_TRUE(std::equal(rows + start, rows + end, wider_rows + from, wider_rows + to)) << "cell " << c;
            }
            // What the build gathers on the way is what derive() computes.
            VoxelGrid derived = grid;
            derived.derive();
            derived.derive_reach(1.0f);
            EXPECT_TRUE(m == 0 || grid.box_slack > 0.0f);  // cells of 1/3 round
            EXPECT_TRUE(derived.box_slack == grid.box_slack && derived.extent == grid.extent &&
                        derived.cells_low == grid.cells_low && derived.cells_high == grid.cells_high &&
                        derived.finite_points == grid.finite_points &&
                        derived.has_crowded_cells == grid.has_crowded_cells &&
                        derived.unit_safe_cell == grid.unit_safe_cell && derived.face_band == grid.face_band);
        }
    }
    const VoxelGrid empty = build_on<VoxelGrid>(2, {}, 2.0f, 1u);
    EXPECT_TRUE(empty.cell_starts == std::vector<std::uint32_t>{0} && search_failures(empty, {0, 0, 0}, 2.0f) == 0);
}

// Every offset once, stably sorted by the smallest squared gap in cells from generation
// order (dx slowest, dz fastest): the centre block first, then gap 1, the corners last.
TEST(VoxelGrid, NeighbourOffsetsGoNearToFar) {
    auto gap = [](const CellCoord& d) {
        auto part = [](int v) { return std::max(std::abs(v) - 1, 0) * std::max(std::abs(v) - 1, 0); };
        return part(d.x) + part(d.y) + part(d.z);
    };
    std::vector<CellCoord> expected;
    for (int dx = -3; dx <= 3; ++dx)
        for (int dy = -3; dy <= 3; ++dy)
            for (int dz = -3; dz <= 3; ++dz) expected.push_back({dx, dy, dz});
    std::stable_sort(expected.begin(), expected.end(), [&](auto& a, auto& b) { return gap(a) < gap(b); });
    const auto offsets = VoxelGrid::make_neighbour_offsets(3);
    EXPECT_EQ(offsets, expected);
    EXPECT_TRUE(offsets[26] == (CellCoord{1, 1, 1}) && offsets[27] == (CellCoord{-2, -1, -1}) &&
                offsets.back() == (CellCoord{3, 3, 3}));
}

TEST(VoxelGrid, CellOfFloorsAndSaturates) {
    const VoxelGrid unit = build_on<VoxelGrid>(1, {}, 1.0f, 1u);
    EXPECT_EQ(unit.cell_of({NAN, 1e30f, -1e30f}), (CellCoord{0, INT32_MAX, INT32_MIN}));
    EXPECT_EQ(unit.cell_of({INFINITY, -INFINITY, -0.25f}), (CellCoord{INT32_MAX, INT32_MIN, -1}));
    EXPECT_EQ(unit.cell_of({2147483648.0f, -2147483648.0f, 2147483520.0f}),
              (CellCoord{INT32_MAX, INT32_MIN, 2147483520}));
    EXPECT_EQ(unit.cell_of({-2147483904.0f, -0.0f, -1e-30f}), (CellCoord{INT32_MIN, 0, -1}));
    const VoxelGrid half = build_on<VoxelGrid>(1, {}, 1.0f, 2u);  // exact multiples own the upper cell
    EXPECT_EQ(half.cell_of({1.0f, -0.5f, 0.49999997f}), (CellCoord{2, -1, 0}));

    // Against floorf around 2^23, where the shortcut ends, and over random bit patterns.
    auto reference = [](float v, float inv) {
        const float t = std::floor(v * inv);
        if (t != t) return 0;
        if (t >= 2147483648.0f) return INT32_MAX;
        if (t < -2147483648.0f) return INT32_MIN;
        return static_cast<std::int32_t>(t);
    };
    std::vector<float> values;
    for (const float edge : {8388608.0f, 16777216.0f, 1.0f, 0.0f})
        for (const float sign : {1.0f, -1.0f}) {
            float v = sign * edge;
            for (int i = 0; i < 40; ++i) v = std::nextafter(v, 0.0f);
            for (int i = 0; i < 80; ++i, v = std::nextafter(v, sign * INFINITY)) values.push_back(v);
        }
    std::mt19937 bits(7);
    for (int i = 0; i < 200000; ++i) values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(bits())));
    for (const float inv : {1.0f, 3.0f, 0.1f, 1e-30f})
        for (const float v : values) ASSERT_EQ(kesra::cell_coordinate(v, inv), reference(v, inv)) << v << " " << inv;
}

TEST(VoxelGrid, SearchesAgreeWithBruteForce) {
    auto queries = lattice_and_loose(150, 3, 30);
    queries.push_back({50.0f, 50.0f, 50.0f});  // far from everything
    const auto pts = lattice_and_loose(1500, 2, 10);
    for (const auto& [m, r] : {std::pair{1u, 1.0f}, {3u, 1.5f}})
        expect_brute_force(build_on<VoxelGrid>(2, pts, r, m), pts, queries, r);
}

// Both a table whose size overflows and one beyond the memory limit fail as a whole.
TEST(VoxelGrid, HugeCellsPerRadiusFailsWithBadAlloc) {
    for (const std::uint32_t m : {1u << 20, UINT32_MAX})
        EXPECT_THROW(build_on<VoxelGrid>(2, random_cloud(10, 0.0f, 1.0f, 6), 1.0f, m), std::bad_alloc) << "m=" << m;
    EXPECT_THROW(VoxelGrid::make_neighbour_offsets(1u << 19), std::bad_alloc);
}

// With one cell per radius the walk goes column by column, and a task's scratch keeps the
// neighbourhood of its last row's cell; the general offset walk (used when the grid is not
// separable) must leave every list in exactly the same state, ties and NaN included, and
// so must queries whose cells sit at the i32 limits. Queries come in runs that share a
// cell, as sorted rows do, between jumps to other cells.
TEST(VoxelGrid, ColumnWalkLeavesTheListsOfTheOffsetWalk) {
    auto pts = lattice_and_loose(3000, 3, 40);
    pts.insert(pts.end(), {{NAN, 0.0f, 0.0f}, {0.5f, NAN, 0.25f}, {1e30f, 1e30f, 1e30f}, {-1e30f, 1e30f, -1e30f}});
    std::vector<Point> queries;
    for (const Point& q : lattice_and_loose(300, 4, 41))
        for (const float step : {0.0f, 0.1f, 0.2f}) queries.push_back({q.x + step, q.y, q.z - step});
    queries.insert(queries.end(), {{NAN, 0.5f, 0.5f}, {1e30f, 1e30f, 1e30f}, {0.0f, 0.0f, -1e30f}, {0.0f, 0.0f, 1e30f}});
    const VoxelGrid by_column = build_on<VoxelGrid>(2, pts, 1.0f, 1u);
    VoxelGrid by_offset = by_column;
    by_offset.separable = false;
    for (const std::size_t k : {1u, 5u, 16u, 60u}) {
        for (const float epsilon : {0.0f, 0.3f}) {
            kesra::NeighbourList a(k, 1.0f, epsilon, pts.size()), b(k, 1.0f, epsilon, pts.size()),
                c(k, 1.0f, epsilon, pts.size());
            VoxelGrid::Scratch scratch;
            for (const Point& q : queries) {
                a.reset();
                b.reset();
                c.reset();
                by_column.knn_search(q, a);
                by_offset.knn_search(q, b);
                by_column.knn_search(q, c, &scratch);
                ASSERT_TRUE(a.size() == b.size() && a.size() == c.size());
                for (std::size_t i = 0; i < a.size(); ++i)
                    ASSERT_TRUE(std::memcmp(&a.data()[i], &b.data()[i], sizeof(kesra::Candidate)) == 0 &&
                                std::memcmp(&a.data()[i], &c.data()[i], sizeof(kesra::Candidate)) == 0)
                        << "k=" << k << " entry " << i;
            }
            EXPECT_GT(scratch.hood.reuses, queries.size() / 3);
        }
    }
}

// Around a damaged cell range no neighbourhood is kept: a walk that reaches the range
// fails as the plain walk does, and one that passes it by does not.
TEST(VoxelGrid, KeptNeighbourhoodFailsWhereThePlainWalkFails) {
    const auto pts = lattice_cloud(4000, 3, 42);
    VoxelGrid grid = build_on<VoxelGrid>(1, pts, 1.0f, 1u);
    const std::uint32_t damaged = static_cast<std::uint32_t>(grid.cell_coords.size() / 2);
    std::swap(grid.cell_starts[damaged], grid.cell_starts[damaged + 1]);  // start above end
    const CellCoord cell = grid.cell_coords[damaged];
    const Point inside{cell.x + 0.5f, cell.y + 0.5f, cell.z + 0.5f}, next{cell.x + 1.2f, cell.y + 0.5f, cell.z + 0.5f};
    kesra::NeighbourList list(8, 1.0f, 0.0f, pts.size());
    VoxelGrid::Scratch scratch;
    for (const Point& q : {inside, next}) {  // the second walk fills its own neighbourhood
        list.reset();
        EXPECT_ANY_THROW(grid.knn_search(q, list));
        list.reset();
        EXPECT_ANY_THROW(grid.knn_search(q, list, &scratch));
    }
    // Three cells over in x, the damaged cell is outside the walk.
    const Point beyond{cell.x + 3.5f, cell.y + 0.5f, cell.z + 0.5f};
    list.reset();
    EXPECT_NO_THROW(grid.knn_search(beyond, list));
    list.reset();
    EXPECT_NO_THROW(grid.knn_search(beyond, list, &scratch));
}

// Columns packed in their (x, y) box use the plain table, spread ones the hash table; both
// find every column's cells and nothing else, up to the i32 limits.
TEST(VoxelGrid, ColumnLookupFindsEveryColumnInBothLayouts) {
    std::vector<CellCoord> packed;
    for (int x = -3; x <= 3; ++x)
        for (int y = -2; y <= 4; y += 1 + (x & 1))
            for (int z = 0; z < 1 + (x + y + 9) % 3; ++z) packed.push_back({x, y, z});
    std::vector<CellCoord> spread = packed;
    spread.insert(spread.begin(), {INT32_MIN, INT32_MIN, 0});
    spread.push_back({INT32_MAX, INT32_MAX, INT32_MAX});
    for (const auto* cells : {&packed, &spread}) {
        const kesra::ColumnLookup lookup(*cells);
        for (std::size_t c = 0; c < cells->size(); ++c) {
            const auto range = lookup.find((*cells)[c].x, (*cells)[c].y);
            ASSERT_TRUE(range.start <= c && c < range.end);
            for (std::uint32_t i = range.start; i < range.end; ++i)
                ASSERT_TRUE((*cells)[i].x == (*cells)[c].x && (*cells)[i].y == (*cells)[c].y);
        }
        for (const auto& [x, y] : {std::pair{-3, -1}, {4, 0}, {0, 5}, {INT32_MAX, INT32_MIN}, {INT32_MIN, 0}}) {
            const auto range = lookup.find(x, y);
            EXPECT_EQ(range.start, range.end) << x << "," << y;
        }
    }
}

// Float rounding can floor a coordinate into a cell whose edge it falls just short of. The
// box tests must still bound its distance: here the point lies within the radius of q
// while the edge of its cell, seen from q, lies at or beyond it.
TEST(VoxelGrid, PointsRoundedOutsideTheirCellAreStillFound) {
    const float cell = 0.1f, r2 = cell * cell;
    int c = 1;
    float stray = 0.0f;
    for (;; ++c) {
        ASSERT_LT(c, 100000) << "no such coordinate";
        stray = std::nextafter(static_cast<float>(c) * cell, -1.0f);
        if (std::floor(stray * (1.0f / cell)) == static_cast<float>(c)) break;
    }
    const float edge = static_cast<float>(c) * cell;
    float qx = static_cast<float>(c - 1) * cell - 1e-6f;
    auto sq = [](float v) { return v * v; };
    for (; qx < static_cast<float>(c - 1) * cell + 1e-6f; qx = std::nextafter(qx, 1.0f))
        if (std::floor(qx * (1.0f / cell)) == static_cast<float>(c - 1) && sq(edge - qx) >= r2 && sq(qx - stray) < r2)
            break;
    ASSERT_LT(qx, static_cast<float>(c - 1) * cell + 1e-6f) << "no such query";
    const std::vector<Point> pts = {{stray, 0.05f, 0.05f}}, queries = {{qx, 0.05f, 0.05f}};
    expect_brute_force(build_on<VoxelGrid>(1, pts, cell, 1u), pts, queries, cell);
    expect_brute_force(build_on<kesra::HybridGrid>(1, pts, cell, 1u, std::uint64_t{0}), pts, queries, cell);
    expect_brute_force(build_on<VoxelGrid>(1, pts, cell, 2u), pts, queries, cell);
}
