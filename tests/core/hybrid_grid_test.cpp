#include "index/hybrid/hybrid_grid.hpp"

#include <tuple>

#include "cloud.hpp"

using kesra::HybridGrid;
using kesra::NO_SUBTREE;
using kesra::VoxelGrid;
using namespace kesra_test;

namespace {

// Builds with r = 1 and checks that crowded cells (more than max(threshold, 1) points)
// own valid subtrees, back to back in ascending cell order, and the others none.
HybridGrid build_hybrid(const std::vector<Point>& pts, std::uint32_t m, std::uint64_t threshold, std::size_t threads) {
    const HybridGrid h = build_on<HybridGrid>(threads, pts, 1.0f, m, threshold);
    const VoxelGrid& g = h.grid;
    expect_valid_grid(g, pts);
    EXPECT_EQ(h.subtree_roots.size(), g.cell_coords.size());
    if (::testing::Test::HasFailure()) return h;
    std::uint32_t next_root = 0;
    for (std::uint32_t c = 0; c < g.cell_coords.size(); ++c) {
        const std::uint32_t s = g.cell_starts[c], e = g.cell_starts[c + 1];
        const bool crowded = e - s > std::max<std::uint64_t>(threshold, 1);
        EXPECT_EQ(h.subtree_roots[c], crowded ? next_root : NO_SUBTREE) << "cell " << c;
        if (crowded) next_root += expect_valid_subtree(h.nodes, g.points, next_root, s, e);
    }
    EXPECT_EQ(next_root, h.nodes.size());
    return h;
}

// Everything a build fixes. The order inside a scanned segment (a leaf, or a cell
// without subtree) is free, so a row is known only by the start of its segment.
auto canonical(const HybridGrid& h) {
    const VoxelGrid& g = h.grid;
    std::vector<std::uint32_t> segment_of(g.size());
    auto mark = [&](std::uint32_t s, std::uint32_t e) {
        for (std::uint32_t p = s; p < e; ++p) segment_of.at(g.original_indices.at(p)) = s;
    };
    std::vector<std::tuple<float, std::uint32_t, std::uint32_t, int>> nodes;
    for (const kesra::Node& n : h.nodes) {
        nodes.emplace_back(n.split_value, n.first, n.second, n.split_dim);
        if (n.split_dim == kesra::KD_LEAF_DIM) mark(n.first, n.second);
    }
    for (std::size_t c = 0; c < g.cell_coords.size(); ++c)
        if (h.subtree_roots.at(c) == NO_SUBTREE) mark(g.cell_starts[c], g.cell_starts[c + 1]);
    return std::tuple(g.cell_size, g.cell_coords, g.cell_starts, h.subtree_roots, nodes, segment_of);
}

// n points in [lo, lo + w)^3, no value repeated on an axis, so that every kd split depends
// on the points alone and not on the order in which ties reach it.
void add_untied(std::vector<Point>& pts, std::uint32_t n, float lo, float w) {
    auto at = [&](std::uint64_t i, std::uint64_t step) { return lo + w * static_cast<float>(i * step % n) / n; };
    for (std::uint32_t i = 0; i < n; ++i) pts.push_back({at(i, 7919), at(i, 104729), at(i, 1299709)});
}

}  // namespace

// Far-apart cells of 1, 5, 6, 17 and 40 points. A single-leaf subtree keeps the order the
// voxel build left (fixed for one pool size), and without crowded cells the hybrid grid is
// the voxel grid.
TEST(HybridGrid, CrowdedMeansMoreThanTheThresholdAndZeroActsAsOne) {
    std::vector<Point> pts;
    const std::size_t sizes[] = {1, 5, 6, 17, 40};
    for (int c = 0; c < 5; ++c)
        for (const Point& p : random_cloud(sizes[c], 0.05f, 0.95f, c)) pts.push_back({3.0f * c + p.x, p.y, p.z});
    HybridGrid voxel;
    voxel.grid = build_on<VoxelGrid>(1, pts, 1.0f, 1u);
    voxel.subtree_roots.assign(5, NO_SUBTREE);
    for (const auto& [threshold, subtrees] : {std::pair<std::uint64_t, std::size_t>{0, 4}, {5, 3}, {40, 0}}) {
        const HybridGrid h = build_hybrid(pts, 1, threshold, 1);
        EXPECT_EQ(h.num_subtrees(), subtrees) << threshold;
        for (std::uint32_t p = 0; p < voxel.grid.cell_starts[3]; ++p) EXPECT_EQ(h.row_numbers()[p], voxel.row_numbers()[p]);
    }
    EXPECT_EQ(canonical(build_hybrid(pts, 1, 40, 2)), canonical(voxel));
}

// A cell of 17000 points splits its own build over the pool, the many small crowded cells
// are one task each, and the voxel build splits its copy and sort beyond 2^15 points.
TEST(HybridGrid, SameBuildWhateverThePoolSize) {
    std::vector<Point> pts;
    add_untied(pts, 17000, 0.05f, 0.9f);
    add_untied(pts, LARGE / 2, -12.0f, 10.0f);
    const HybridGrid reference = build_hybrid(pts, 1, 4, 1);
    ASSERT_GT(reference.num_subtrees(), 500u);
    for (const std::size_t threads : {2u, 3u})
        EXPECT_EQ(canonical(build_hybrid(pts, 1, 4, threads)), canonical(reference)) << threads << " threads";
}

// A dense lattice makes deep subtrees full of ties next to scanned cells. With every point
// finite the subtree walk prunes tighter.
TEST(HybridGrid, SearchesAgreeWithBruteForce) {
    auto pts = lattice_and_loose(1000, 2, 10), dense = lattice_cloud(3000, 1, 30), queries = lattice_and_loose(100, 3, 20);
    pts.insert(pts.end(), dense.begin(), dense.end());
    queries.push_back({40.0f, 0.0f, 0.0f});
    for (const bool finite : {true, false}) {
        if (!finite) pts.push_back({INFINITY, 0.0f, 0.0f});  // no query reaches its cell
        const HybridGrid h = build_hybrid(pts, 2, 6, 2);
        SCOPED_TRACE(finite);
        ASSERT_EQ(h.grid.finite_points, finite);
        // Many subtrees, some with inner nodes, and some cells scanned.
        ASSERT_TRUE(h.num_subtrees() > 20 && h.nodes.size() > h.num_subtrees() && h.num_subtrees() < h.grid.cell_coords.size());
        expect_brute_force(h, pts, queries, 1.0f);
    }
}

// Fields of a restored grid can be anything; every index followed must be checked, by
// the hybrid grid and by the voxel grid inside it.
TEST(HybridGrid, CorruptedStateIsInternalError) {
    auto pts = random_cloud(20, 0.05f, 0.95f, 5);  // cell 0: root and two leaves
    pts.insert(pts.end(), {{1.2f, 0.5f, 0.5f}, {1.3f, 0.5f, 0.5f}});  // cell 1: two points, scanned
    const HybridGrid good = build_hybrid(pts, 1, 4, 2);
    ASSERT_TRUE(good.subtree_roots == (std::vector<std::uint32_t>{0, NO_SUBTREE}) && good.nodes.size() == 3);
    const Point q{0.5f, 0.5f, 0.5f};
    EXPECT_EQ(search_failures(good, q, 1.0f) + search_failures(good.grid, q, 1.0f), 0);
    std::vector<HybridGrid> bad(5, good);
    bad[0].subtree_roots[0] = 3;
    bad[1].subtree_roots.pop_back();
    bad[2].grid.cell_starts[2] = 23;  // from here on the grid itself is broken
    bad[3].grid.cell_starts[2] = 19;
    bad[4].grid.cell_starts.pop_back();
    for (std::size_t i = 0; i < bad.size(); ++i) {
        bad[i].derive();  // as a restore does
        EXPECT_EQ(search_failures(bad[i], q, 1.0f), 2) << i;
        EXPECT_EQ(search_failures(bad[i].grid, q, 1.0f), i >= 2 ? 2 : 0) << i;
    }
}

// A task's kept neighbourhood (one cell per radius) leaves every list as the plain walk
// does, with crowded cells searched through their subtrees and rows in runs that share a
// cell, as sorted rows do.
TEST(HybridGrid, KeptNeighbourhoodLeavesTheListsOfThePlainWalk) {
    auto pts = lattice_and_loose(2000, 2, 50), dense = lattice_cloud(3000, 1, 51);
    pts.insert(pts.end(), dense.begin(), dense.end());
    const HybridGrid h = build_hybrid(pts, 1, 16, 2);
    ASSERT_TRUE(h.num_subtrees() > 5 && h.num_subtrees() < h.grid.cell_coords.size());
    std::vector<Point> queries;
    for (const Point& q : lattice_and_loose(150, 3, 52))
        for (const float step : {0.0f, 0.1f, 0.2f}) queries.push_back({q.x - step, q.y + step, q.z});
    for (const std::size_t k : {1u, 16u, 60u}) {
        kesra::NeighbourList plain(k, 1.0f, 0.0f, pts.size()), kept(k, 1.0f, 0.0f, pts.size());
        HybridGrid::Scratch scratch;
        for (const Point& q : queries) {
            plain.reset();
            kept.reset();
            h.knn_search(q, plain);
            h.knn_search(q, kept, &scratch);
            ASSERT_EQ(plain.size(), kept.size());
            for (std::size_t i = 0; i < plain.size(); ++i)
                ASSERT_TRUE(std::memcmp(&plain.data()[i], &kept.data()[i], sizeof(kesra::Candidate)) == 0)
                    << "k=" << k << " entry " << i;
        }
        EXPECT_GT(scratch.hood.reuses, queries.size() / 3);
    }
}
