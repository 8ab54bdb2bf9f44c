#include "query/all_neighbours.hpp"
#include "query/row_order.hpp"

#include <algorithm>
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

// Sorted rows are the brute force's, by distance and then row number, for every method
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
                expected[q].emplace_back(std::sqrt(d2), static_cast<std::int32_t>(p));
        std::sort(expected[q].begin(), expected[q].end());
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
