#include "query/query_driver.hpp"

#include "cloud.hpp"

using kesra::WorkerPool;
using namespace kesra_test;

namespace {

// No NaN reaches these results, so float == is exact comparison.
struct Results {
    std::vector<std::int32_t> indices;
    std::vector<float> distances, counts;
    bool operator==(const Results&) const = default;
};

// Both drivers, on a pool of `threads`.
Results query(const kesra::SearchBackend& backend, const std::vector<Point>& queries, std::size_t k, float r,
              float epsilon, std::optional<float> p, std::size_t threads = 2) {
    Results out;
    WorkerPool::run(threads, [&](WorkerPool& pool) {
        const auto rows = kesra::find_neighbours(pool, backend, view_of(queries), k, r, epsilon, true);
        out.indices.assign(rows.indices.data(), rows.indices.data() + rows.indices.size());
        out.distances.assign(rows.distances.data(), rows.distances.data() + rows.distances.size());
        const auto counts = kesra::count_neighbours(pool, backend, view_of(queries), r, p, true);
        out.counts.assign(counts.data(), counts.data() + counts.size());
    });
    return out;
}

}  // namespace

// Every row, across chunk boundaries and whatever the pool size, is what a lone search of
// that query point writes; epsilon reaches the lists, and only its square counts. Some
// query points repeat, next to each other (answered once) or far apart.
TEST(QueryDriver, RowsMatchSingleSearchesForEveryPoolSize) {
    const float r = 0.6f;
    const std::size_t k = 5;
    const auto pts = random_cloud(4000, -3.0f, 3.0f, 1);
    auto queries = random_cloud(5 * kesra::QUERY_CHUNK_ROWS + 77, -3.5f, 3.5f, 2);
    for (std::size_t q = 0; q + 300 < queries.size(); q += 7) queries[q + (q % 2 ? 1 : 300)] = queries[q];
    queries[5] = {-0.0f, 0.0f, 0.0f};  // equal to the next one, but not in its bits
    queries[6] = {0.0f, 0.0f, 0.0f};
    const auto voxel = build_on<kesra::VoxelGrid>(2, pts, r, 2u);
    Results expected{std::vector<std::int32_t>(queries.size() * k), std::vector<float>(queries.size() * k), {}};
    kesra::NeighbourList list(k, r, r / 2, pts.size());
    for (std::size_t q = 0; q < queries.size(); ++q) {
        list.reset();
        voxel.knn_search(queries[q], list);
        list.write_row(voxel.original_indices.data(), pts.size(), &expected.indices[q * k], &expected.distances[q * k]);
        expected.counts.push_back(count_sum(voxel, queries[q], r, 0.5f));
    }
    for (const std::size_t threads : {1, 3})
        EXPECT_TRUE(query(voxel, queries, k, r, -r / 2, 0.5f, threads) == expected) << threads << " threads";
    EXPECT_NE(query(voxel, queries, k, r, 0.0f, 0.5f).distances, expected.distances) << "epsilon had no effect";
}

// Neighbours of the origin at 0, 0.25 and 0.5; one at the radius and one beyond.
TEST(QueryDriver, ShortRowsWeightedCountsAndEmptyCalls) {
    const std::vector<Point> pts = {{0, 0, 0}, {0.25f, 0, 0}, {0, -0.5f, 0}, {0, 0, 1}, {2, 0, 0}};
    const kesra::SearchBackend backend = build_on<kesra::VoxelGrid>(2, pts, 1.0f, 1u);
    const std::vector<Point> queries = {{0, 0, 0}, {10, 10, 10}};
    const auto plain = query(backend, queries, 4, 1.0f, 0.0f, std::nullopt);
    EXPECT_EQ(plain.indices, (std::vector<std::int32_t>{0, 1, 2, -1, -1, -1, -1, -1}));
    EXPECT_EQ(plain.distances, (std::vector<float>{0.0f, 0.25f, 0.5f, -1, -1, -1, -1, -1}));
    EXPECT_EQ(plain.counts, (std::vector<float>{3.0f, 0.0f}));
    EXPECT_EQ(query(backend, queries, 0, 1.0f, 0.0f, 0.0f).counts, (std::vector<float>{3.0f, 0.0f}));
    EXPECT_EQ(query(backend, queries, 0, 1.0f, 0.0f, 1.0f).counts, (std::vector<float>{1.0f + 0.75f + 0.5f, 0.0f}));
    EXPECT_EQ(query(backend, queries, 0, 1.0f, 0.0f, 2.0f).counts, (std::vector<float>{1.0f + 0.5625f + 0.25f, 0.0f}));
    EXPECT_TRUE(query(backend, queries, 0, 1.0f, 0.0f, 2.0f).indices.empty());
    EXPECT_TRUE(query(backend, {}, 4, 1.0f, 0.0f, std::nullopt) == Results{});
}

// A corrupted structure fails the whole call, not just the rows that read it.
TEST(QueryDriver, InternalErrorInATaskEndsTheCall) {
    const auto pts = random_cloud(2000, -2.0f, 2.0f, 7);  // every cell holds a query
    auto voxel = build_on<kesra::VoxelGrid>(2, pts, 0.5f, 1u);
    voxel.cell_starts[voxel.cell_starts.size() / 2] = static_cast<std::uint32_t>(pts.size() + 1);
    EXPECT_THROW(query(voxel, pts, 3, 0.5f, 0.0f, std::nullopt, 3), kesra::InternalError);
    EXPECT_THROW(query(voxel, pts, 0, 0.5f, 0.0f, std::nullopt, 3), kesra::InternalError);  // counting alone
}
