#include "query/all_neighbours.hpp"
#include "query/local_geometry.hpp"
#include "query/query_driver.hpp"
#include "index/occupancy_sample.hpp"
#include "query/row_order.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include "cloud.hpp"

using kesra::WorkerPool;
using namespace kesra_test;

namespace {

using Row = std::vector<std::pair<float, std::int32_t>>;  // (distance, row number)

std::vector<Row> rows_of(const kesra::AllNeighboursResult& r, std::size_t queries) {
    std::vector<Row> rows(queries);
    for (std::size_t q = 0; q < queries; ++q)
        for (std::int64_t i = r.offsets.data()[q]; i < r.offsets.data()[q + 1]; ++i)
            rows[q].emplace_back(r.distances.data()[i], r.indices.data()[i]);
    return rows;
}

kesra::AllNeighboursResult find_all(const kesra::SearchBackend& backend, const std::vector<Point>& queries, float r,
                                    bool sort, std::size_t threads, const std::int64_t* counts = nullptr) {
    kesra::AllNeighboursResult out;
    WorkerPool::run(threads, [&](WorkerPool& pool) {
        out = kesra::find_all_neighbours(pool, backend, view_of(queries), r, sort, true, counts);
    });
    return out;
}

}  // namespace

// Sorted rows are the brute force's, by squared distance and then row number, for every method
// and pool size; unsorted rows hold the same entries; counts given that do not match
// the rows are refused, and a corrupted structure fails the call. Calls of a few rows
// are answered in windows, larger calls whose rows jump about are counted first.
class AllNeighbours : public testing::TestWithParam<std::size_t> {};
INSTANTIATE_TEST_SUITE_P(Rows, AllNeighbours, testing::Values(3 * kesra::QUERY_CHUNK_ROWS + 11, 2 * kesra::ORDERED_MIN_ROWS));

TEST_P(AllNeighbours, RowsAreTheBruteForcesInEveryForm) {
    const float r = 0.7f;
    const auto pts = lattice_and_loose(3000, 3, 4);  // lattice points tie and sit on cell faces
    auto queries = random_cloud(GetParam(), -4.0f, 4.0f, 5);
    std::copy_n(pts.begin(), 200, queries.begin() + 100);
    std::vector<Row> expected(queries.size());
    for (std::size_t q = 0; q < queries.size(); ++q) {
        for (std::size_t p = 0; p < pts.size(); ++p)
            if (const float d2 = brute_d2(queries[q], pts[p]); d2 < r * r)
                expected[q].emplace_back(d2, static_cast<std::int32_t>(p));
        std::sort(expected[q].begin(), expected[q].end());  // by squared distance, then row
        for (auto& entry : expected[q]) entry.first = std::sqrt(entry.first);
    }
    const std::vector<kesra::SearchBackend> backends = {build_on<kesra::VoxelGrid>(2, pts, r, 1u),
                                                        build_on<kesra::KdTree>(2, pts),
                                                        build_on<kesra::HybridGrid>(2, pts, r, 1u, 8ull)};
    for (const auto& backend : backends) {
        for (const std::size_t threads : {1, 3}) {
            EXPECT_EQ(rows_of(find_all(backend, queries, r, true, threads), queries.size()), expected);
            auto unsorted = rows_of(find_all(backend, queries, r, false, threads), queries.size());
            for (auto& row : unsorted) std::sort(row.begin(), row.end());
            EXPECT_EQ(unsorted, expected);
        }
        std::vector<std::int64_t> counts(queries.size());
        for (std::size_t q = 0; q < queries.size(); ++q) counts[q] = static_cast<std::int64_t>(expected[q].size());
        EXPECT_EQ(rows_of(find_all(backend, queries, r, true, 2, counts.data()), queries.size()), expected);
        counts[300] += 1;
        EXPECT_THROW(find_all(backend, queries, r, true, 2, counts.data()), kesra::InvalidArgument);
    }
    auto voxel = build_on<kesra::VoxelGrid>(2, pts, r, 1u);
    voxel.cell_starts[voxel.cell_starts.size() / 2] = static_cast<std::uint32_t>(pts.size() + 1);
    EXPECT_THROW(find_all(voxel, queries, r, true, 3), kesra::InternalError);
}

// Several callers at once on one structure, each with a pool of its own, get what a lone
// caller gets from every call; under ThreadSanitizer this also checks that queries only
// read the structure.
TEST(AllNeighbours, ConcurrentCallersShareOneStructure) {
    const float r = 0.6f;
    const auto pts = lattice_and_loose(3000, 3, 6);
    const auto queries = random_cloud(2 * kesra::ORDERED_MIN_ROWS, -4.0f, 4.0f, 7);
    const kesra::SearchBackend voxel = build_on<kesra::VoxelGrid>(2, pts, r, 1u);
    // Every call's output bytes, one string per call.
    auto answers = [&](std::size_t threads) {
        std::vector<std::string> out;
        auto add = [&](const auto& buffer) {
            out.emplace_back(reinterpret_cast<const char*>(buffer.data()), buffer.size() * sizeof(*buffer.data()));
        };
        WorkerPool::run(threads, [&](WorkerPool& pool) {
            const auto all = kesra::find_all_neighbours(pool, voxel, view_of(queries), r, true, false, nullptr);
            add(all.offsets), add(all.indices), add(all.distances);
            add(kesra::neighbour_counts(pool, voxel, view_of(queries), r, false));
            for (const bool all_within : {false, true}) {
                const auto shape = kesra::local_geometry(pool, voxel, view_of(queries), 9, all_within, r,
                                                         std::nullopt, false);
                add(shape.eigenvalues), add(shape.normals), add(shape.counts);
            }
            const auto knn = kesra::find_neighbours(pool, voxel, view_of(queries), 9, r, 0.0f, false);
            add(knn.indices), add(knn.distances);
        });
        const auto sample = kesra::sample_occupancy(view_of(pts), r, 512);
        out.emplace_back(reinterpret_cast<const char*>(&sample), sizeof sample);
        return out;
    };
    const auto expected = answers(1);
    std::vector<std::vector<std::string>> got(4);
    std::vector<std::thread> callers;
    for (std::size_t t = 0; t < got.size(); ++t) callers.emplace_back([&, t] { got[t] = answers(1 + t % 3); });
    for (auto& caller : callers) caller.join();
    for (const auto& g : got) EXPECT_TRUE(g == expected);
}
