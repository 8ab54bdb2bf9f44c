#include "index/mod/query_driver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "cloud.hpp"

using kesra::Point;
using kesra::SearchBackend;
using kesra::WorkerPool;
using namespace kesra_test;

namespace {

// No NaN reaches these results, so float == is exact comparison.
struct Rows {
    std::vector<std::int32_t> indices;
    std::vector<float> distances;
    bool operator==(const Rows&) const = default;
};

Rows find(const SearchBackend& backend, const kesra::PointsView& queries, std::size_t k, float r, float epsilon = 0.0f,
          std::size_t threads = 2, bool progress = false) {
    Rows out;
    WorkerPool::run(threads, [&](WorkerPool& pool) {
        auto result = kesra::find_neighbours(pool, backend, queries, k, r, epsilon, progress);
        EXPECT_EQ(result.indices.size(), queries.rows * k);
        EXPECT_EQ(result.distances.size(), queries.rows * k);
        out.indices.assign(result.indices.data(), result.indices.data() + result.indices.size());
        out.distances.assign(result.distances.data(), result.distances.data() + result.distances.size());
    });
    return out;
}

std::vector<float> count(const SearchBackend& backend, const kesra::PointsView& queries, float r,
                         std::optional<float> p, std::size_t threads = 2, bool progress = false) {
    std::vector<float> out;
    WorkerPool::run(threads, [&](WorkerPool& pool) {
        auto result = kesra::count_neighbours(pool, backend, queries, r, p, progress);
        EXPECT_EQ(result.size(), queries.rows);
        out.assign(result.data(), result.data() + result.size());
    });
    return out;
}

}  // namespace

// Every row, across chunk boundaries and whatever the pool size, is what a lone search of
// that query point writes.
TEST(QueryDriver, RowsMatchSingleSearchesForEveryPoolSize) {
    const float r = 0.6f;
    const std::size_t k = 5;
    const auto pts = random_cloud(4000, -3.0f, 3.0f, 1);
    const auto queries = random_cloud(3 * kesra::QUERY_CHUNK_ROWS + 77, -3.5f, 3.5f, 2);
    const SearchBackend backend = build_grid(pts, r, 2);
    const auto& grid = std::get<kesra::VoxelGrid>(backend);

    Rows expected{std::vector<std::int32_t>(queries.size() * k), std::vector<float>(queries.size() * k)};
    std::vector<float> expected_counts(queries.size());
    kesra::NeighbourList list(k, r, 0.0f, pts.size());
    kesra::CountAccumulator acc(r, 0.5f);
    for (std::size_t q = 0; q < queries.size(); ++q) {
        list.reset();
        grid.knn_search(queries[q], list);
        list.write_row(grid.original_indices.data(), pts.size(), &expected.indices[q * k], &expected.distances[q * k]);
        acc.reset();
        grid.count_search(queries[q], acc);
        expected_counts[q] = acc.sum();
    }
    for (const std::size_t threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        EXPECT_TRUE(find(backend, view_of(queries), k, r, 0.0f, threads, true) == expected);
        EXPECT_EQ(count(backend, view_of(queries), r, 0.5f, threads, true), expected_counts);
    }

    // The same queries read through a column-major view.
    std::vector<float> columns(3 * queries.size());
    for (std::size_t i = 0; i < queries.size(); ++i) {
        columns[i] = queries[i].x;
        columns[queries.size() + i] = queries[i].y;
        columns[2 * queries.size() + i] = queries[i].z;
    }
    const kesra::PointsView strided{reinterpret_cast<const char*>(columns.data()), queries.size(), 3, sizeof(float),
                                    static_cast<std::ptrdiff_t>(queries.size() * sizeof(float))};
    EXPECT_TRUE(find(backend, strided, k, r) == expected);
}

TEST(QueryDriver, EmptyQueriesZeroKAndShortRows) {
    const std::vector<Point> pts = {{0, 0, 0}, {0.5f, 0, 0}, {0, 0.75f, 0}, {1, 0, 0}, {3, 3, 3}};
    const SearchBackend backend = build_grid(pts, 1.0f, 1);
    const std::vector<Point> none;
    EXPECT_TRUE(find(backend, view_of(none), 4, 1.0f, 0.0f, 2, true).indices.empty());
    EXPECT_TRUE(count(backend, view_of(none), 1.0f, std::nullopt, 2, true).empty());

    const std::vector<Point> queries = {{0, 0, 0}, {10, 10, 10}};
    EXPECT_TRUE(find(backend, view_of(queries), 0, 1.0f).indices.empty());

    // (1, 0, 0) lies exactly at the radius.
    const Rows rows = find(backend, view_of(queries), 6, 1.0f);
    EXPECT_EQ(rows.indices, (std::vector<std::int32_t>{0, 1, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1}));
    EXPECT_EQ(rows.distances,
              (std::vector<float>{0.0f, 0.5f, 0.75f, -1, -1, -1, -1, -1, -1, -1, -1, -1}));
}

TEST(QueryDriver, WeightedCounts) {
    // Neighbours of the origin at 0, 0.25 and 0.5; one at the radius and one beyond.
    const std::vector<Point> pts = {{0, 0, 0}, {0.25f, 0, 0}, {0, -0.5f, 0}, {0, 0, 1}, {2, 0, 0}};
    const SearchBackend backend = build_grid(pts, 1.0f, 1);
    const std::vector<Point> origin = {{0, 0, 0}};
    EXPECT_EQ(count(backend, view_of(origin), 1.0f, std::nullopt), std::vector<float>{3.0f});
    EXPECT_EQ(count(backend, view_of(origin), 1.0f, 0.0f), std::vector<float>{3.0f});
    EXPECT_EQ(count(backend, view_of(origin), 1.0f, 1.0f), std::vector<float>{1.0f + 0.75f + 0.5f});
    EXPECT_EQ(count(backend, view_of(origin), 1.0f, 2.0f), std::vector<float>{1.0f + 0.5625f + 0.25f});

    // p = 0 is the plain count on a crowded cloud too.
    const auto pts_many = lattice_cloud(3000, 2, 3);
    const auto qs = lattice_cloud(600, 2, 4);
    const SearchBackend many = build_grid(pts_many, 1.0f, 2);
    EXPECT_EQ(count(many, view_of(qs), 1.0f, 0.0f, 3), count(many, view_of(qs), 1.0f, std::nullopt, 3));
}

TEST(QueryDriver, EpsilonStopsEarlyWithKCandidatesWithinTheRadius) {
    const float r = 1.0f;
    const std::size_t k = 4;
    const auto pts = random_cloud(6000, -2.0f, 2.0f, 5);
    const auto queries = random_cloud(300, -1.5f, 1.5f, 6);
    const SearchBackend backend = build_grid(pts, r, 1);
    const Rows exact = find(backend, view_of(queries), k, r);
    const Rows early = find(backend, view_of(queries), k, r, r);
    EXPECT_TRUE(find(backend, view_of(queries), k, r, -r) == early);  // only epsilon squared is used
    std::size_t differing = 0;
    for (std::size_t q = 0; q < queries.size(); ++q) {
        for (std::size_t i = 0; i < k; ++i) {
            ASSERT_GE(early.indices[q * k + i], 0) << "query " << q;  // crowded: always k within r
            ASSERT_LT(early.distances[q * k + i], r);
        }
        ASSERT_GE(early.distances[q * k + k - 1], exact.distances[q * k + k - 1]);
        if (early.distances[q * k + k - 1] != exact.distances[q * k + k - 1]) ++differing;
    }
    EXPECT_GT(differing, 0u) << "epsilon had no effect";
}

// A corrupted structure fails the whole call with the internal error, not a partial result.
TEST(QueryDriver, InternalErrorInATaskEndsTheCall) {
    const auto pts = random_cloud(2000, -2.0f, 2.0f, 7);
    const auto& queries = pts;  // every cell holds a query, so the broken one is read
    auto grid = build_grid(pts, 0.5f, 1);
    auto bad_range = grid;
    bad_range.cell_starts[bad_range.cell_starts.size() / 2] = static_cast<std::uint32_t>(pts.size() + 1);
    auto bad_positions = grid;
    bad_positions.original_indices.resize(pts.size() / 2);
    for (const std::size_t threads : {1, 3}) {
        EXPECT_THROW(find(SearchBackend(bad_range), view_of(queries), 3, 0.5f, 0.0f, threads), kesra::InternalError);
        EXPECT_THROW(count(SearchBackend(bad_range), view_of(queries), 0.5f, std::nullopt, threads), kesra::InternalError);
        EXPECT_THROW(find(SearchBackend(bad_positions), view_of(queries), 3, 0.5f, 0.0f, threads), kesra::InternalError);
    }
    // With k = 0 no search runs, so the broken ranges are never read.
    EXPECT_NO_THROW(find(SearchBackend(bad_range), view_of(queries), 0, 0.5f));

    auto two_columns = view_of(queries);
    two_columns.cols = 2;
    EXPECT_THROW(find(SearchBackend(grid), two_columns, 3, 0.5f), kesra::InternalError);
    EXPECT_THROW(count(SearchBackend(grid), two_columns, 0.5f, std::nullopt), kesra::InternalError);
}
