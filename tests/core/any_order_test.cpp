#include "index/results/any_order_list.hpp"
#include "query/query_driver.hpp"

#include <algorithm>
#include <tuple>
#include <utility>

#include "cloud.hpp"

using kesra::AnyOrderList;
using kesra::NeighbourList;
using kesra::WorkerPool;
using namespace kesra_test;

namespace {

struct Rows {
    std::vector<std::int32_t> indices;
    std::vector<float> distances;
    bool operator==(const Rows&) const = default;

    // Each row of width k sorted by distance, then row number: the order of equal distances
    // within a row is free, the kept set is not.
    Rows canonical(std::size_t k) const {
        Rows out = *this;
        for (std::size_t at = 0; at + k <= indices.size(); at += k) {
            std::vector<std::pair<float, std::int32_t>> row;
            for (std::size_t i = at; i < at + k; ++i) row.push_back({distances[i], indices[i]});
            std::sort(row.begin(), row.end());
            for (std::size_t i = 0; i < k; ++i) std::tie(out.distances[at + i], out.indices[at + i]) = row[i];
        }
        return out;
    }
};

// The rows of the fixed-order walk, one query at a time.
template <class S>
Rows fixed_walk_rows(const S& s, const std::vector<Point>& queries, std::size_t k, float r) {
    Rows out{std::vector<std::int32_t>(queries.size() * k), std::vector<float>(queries.size() * k)};
    NeighbourList list(k, r, 0.0f, s.size());
    for (std::size_t q = 0; q < queries.size(); ++q) {
        list.reset();
        s.knn_search(queries[q], list);
        list.write_row(s.row_numbers().data(), s.size(), &out.indices[q * k], &out.distances[q * k]);
    }
    return out;
}

Rows driver_rows(const kesra::SearchBackend& backend, const std::vector<Point>& queries, std::size_t k, float r) {
    Rows out;
    WorkerPool::run(2, [&](WorkerPool& pool) {
        const auto rows = kesra::find_neighbours(pool, backend, view_of(queries), k, r, 0.0f, false);
        out.indices.assign(rows.indices.data(), rows.indices.data() + rows.indices.size());
        out.distances.assign(rows.distances.data(), rows.distances.data() + rows.distances.size());
    });
    return out;
}

}  // namespace

TEST(AnyOrder, SettledOnlyWithoutTiesAtTheLargestKeptDistance) {
    auto settled = [](std::size_t k, std::initializer_list<float> offers) {
        NeighbourList list(k, 10.0f, 0.0f, 10);
        AnyOrderList any(list);
        std::uint32_t position = 0;
        for (const float d2 : offers) any.offer(d2, position++);
        return any.same_entries();
    };
    EXPECT_TRUE(settled(2, {3.0f, 1.0f, 2.0f, 2.5f}));   // 3 evicted, 2.5 rejected: both above 2
    EXPECT_FALSE(settled(2, {1.0f, 2.0f, 2.0f}));        // a second 2 passed over at the top
    EXPECT_FALSE(settled(2, {2.0f, 2.0f, 1.0f}));        // one of two equals evicted
    EXPECT_TRUE(settled(3, {1.0f, 1.0f, 2.0f, 3.0f}));   // equal kept distances below the top
    EXPECT_TRUE(settled(3, {1.0f, 2.0f}));               // not full: nothing was passed over
}

// Rows searched from the query's own cell first keep the entries of the fixed walk: on
// crowded uniform points, where nearly every row settles, and on crowded lattice points,
// whose many equal distances send rows at a tie at the k-th place back to the fixed walk.
TEST(AnyOrder, DriverRowsEqualTheFixedWalk) {
    const float r = 1.0f;
    const auto uniform = random_cloud(20000, 0.0f, 2.0f, 11);  // 2,500 points a cell
    const auto lattice = lattice_and_loose(6000, 1, 12);
    const auto queries = random_cloud(700, -0.3f, 2.3f, 13);
    for (const auto* pts : {&uniform, &lattice}) {
        const auto voxel = build_on<kesra::VoxelGrid>(2, *pts, r, 1u);
        const auto hybrid = build_on<kesra::HybridGrid>(2, *pts, r, 1u, std::uint64_t{64});
        auto mixed = queries;
        mixed.insert(mixed.end(), pts->begin(), pts->begin() + 700);  // points of the cloud
        for (const std::size_t k : {1u, 16u}) {
            EXPECT_TRUE(driver_rows(voxel, mixed, k, r).canonical(k) == fixed_walk_rows(voxel, mixed, k, r).canonical(k))
                << "voxel k=" << k;
            EXPECT_TRUE(driver_rows(hybrid, mixed, k, r).canonical(k) ==
                        fixed_walk_rows(hybrid, mixed, k, r).canonical(k))
                << "hybrid k=" << k;
        }
    }
}

// The fixed walk reaches the cell x = -1 before q's own cell, so of the two points at
// exactly 0.5 from q it keeps A, there. Searched from q's cell, B fills the list first and
// A's cell (first layout), or the subtree holding A (second), is skipped at exactly that
// bound; the row must still be A.
TEST(AnyOrder, TieInASkippedCellOrSubtreeGoesToTheFixedWalk) {
    struct Layout {
        Point q, a, b;
    };
    const Layout layouts[] = {{{0.5f, 0.5f, 0.5f}, {-1e-8f, 0.5f, 0.5f}, {0.5f, 0.5f, 0.0f}},
                              {{0.375f, 0.5f, 0.5f}, {-0.125f, 0.5f, 0.5f}, {0.375f, 0.5f, 0.0f}}};
    for (const Layout& l : layouts) {
        std::vector<Point> pts;
        for (int i = 0; i < 70; ++i) pts.push_back({0.9f + 0.001f * i, 0.95f, 0.95f});  // crowd q's cell
        pts.push_back(l.b);
        pts.push_back({-0.9f, 0.1f, 0.1f});  // gives A's cell a subtree in the hybrid
        pts.push_back(l.a);
        const auto a_row = static_cast<std::int32_t>(pts.size() - 1);
        const auto voxel = build_on<kesra::VoxelGrid>(1, pts, 1.0f, 1u);
        const auto hybrid = build_on<kesra::HybridGrid>(1, pts, 1.0f, 1u, std::uint64_t{1});
        auto check = [&](const auto& s, const char* name) {
            SCOPED_TRACE(::testing::Message() << name << " q.x=" << l.q.x);
            NeighbourList list(1, 1.0f, 0.0f, s.size());
            AnyOrderList any(list);
            ASSERT_TRUE(s.knn_search_any_order(l.q, any));
            EXPECT_FALSE(any.same_entries());
            EXPECT_EQ(fixed_walk_rows(s, {l.q}, 1, 1.0f).indices, std::vector<std::int32_t>{a_row});
            EXPECT_EQ(driver_rows(s, {l.q}, 1, 1.0f).indices, std::vector<std::int32_t>{a_row});
        };
        check(voxel, "voxel");
        check(hybrid, "hybrid");
    }
}
