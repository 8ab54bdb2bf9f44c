#include "index/graph/knn_graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <new>
#include <set>
#include <vector>

#include "cloud.hpp"

using kesra::KnnGraph;
using kesra::NO_EDGE;
using kesra::Point;
using namespace kesra_test;

namespace {

KnnGraph build_graph(const std::vector<Point>& pts, float r, std::uint64_t degree, std::size_t threads = 2) {
    return build_on<KnnGraph>(threads, pts, r, std::uint32_t{2}, std::uint64_t{4}, degree);  // m = 2, crowded above 4
}

// Sorted squared distances kept by a k-nearest walk, with each position checked against
// the input point it stands for.
std::vector<float> graph_knn(const KnnGraph& g, const std::vector<Point>& pts, const Point& q, float r, std::size_t k,
                             KnnGraph::Scratch& scratch, float epsilon = 0.0f) {
    kesra::NeighbourList list(k, r, epsilon, g.size());
    g.knn_search(q, list, &scratch);
    list.sort_ascending();
    std::vector<float> d2s;
    std::set<std::uint32_t> seen;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const auto& c = list.data()[i];
        EXPECT_TRUE(seen.insert(c.position).second) << "position reported twice";
        const float true_d2 = brute_d2(q, pts.at(g.row_numbers().at(c.position)));
        EXPECT_TRUE(true_d2 == c.dist_sq || (std::isnan(true_d2) && std::isnan(c.dist_sq)));
        d2s.push_back(c.dist_sq);
    }
    return d2s;
}

float graph_count(const KnnGraph& g, const Point& q, float r, KnnGraph::Scratch& scratch) {
    kesra::CountAccumulator acc(r, std::nullopt);
    g.count_search(q, acc, &scratch);
    return acc.sum();
}

// Per row number: the squared distances to the neighbours of its row, in slot order.
std::map<std::uint32_t, std::vector<float>> row_distances(const KnnGraph& g) {
    std::map<std::uint32_t, std::vector<float>> rows;
    const auto& points = g.entry_index.grid.points;
    for (std::size_t p = 0; p < points.size(); ++p) {
        auto& d2s = rows[g.row_numbers()[p]];
        for (std::size_t s = 0; s < g.degree && g.adjacency[p * g.degree + s] != NO_EDGE; ++s)
            d2s.push_back(brute_d2(points[p], points[g.adjacency[p * g.degree + s]]));
    }
    return rows;
}

// Exactly equal distances, a loose cloud and eight copies of one point.
std::vector<Point> mixed_cloud() {
    auto pts = lattice_and_loose(1500, 2, 21);
    pts.insert(pts.end(), 8, Point{0.3f, -0.7f, 1.1f});
    return pts;
}

}  // namespace

TEST(KnnGraph, RowsHoldTheNearestOtherPointsWithinTheRadius) {
    const auto pts = mixed_cloud();
    const float r = 0.6f;
    for (const std::uint64_t graph_degree : {0u, 5u, 60u}) {
        SCOPED_TRACE(graph_degree);
        const KnnGraph g = build_graph(pts, r, graph_degree);
        const std::uint64_t degree = std::max<std::uint64_t>(graph_degree, 1);
        ASSERT_EQ(g.degree, degree);
        ASSERT_EQ(g.adjacency.size(), pts.size() * degree);
        const auto& points = g.entry_index.grid.points;
        for (std::uint32_t p = 0; p < points.size(); ++p) {
            std::vector<float> expected;  // brute force, excluding only p itself
            for (std::uint32_t o = 0; o < points.size(); ++o)
                if (const float d2 = brute_d2(points[p], points[o]); o != p && d2 < r * r) expected.push_back(d2);
            std::sort(expected.begin(), expected.end());
            expected.resize(std::min<std::size_t>(expected.size(), degree));
            std::set<std::uint32_t> seen;
            std::vector<float> got;
            for (std::size_t s = 0; s < degree; ++s) {
                const std::uint32_t m = g.adjacency[p * degree + s];
                if (s >= expected.size()) {
                    ASSERT_EQ(m, NO_EDGE) << "position " << p << " slot " << s;
                    continue;
                }
                ASSERT_TRUE(m < points.size() && m != p && seen.insert(m).second) << "position " << p;
                got.push_back(brute_d2(points[p], points[m]));
            }
            ASSERT_EQ(got, expected) << "position " << p;
        }
    }
}

TEST(KnnGraph, SameRowsWhateverThePoolSize) {
    const auto pts = mixed_cloud();
    const auto reference = row_distances(build_graph(pts, 0.6f, 7, 1));
    for (const std::size_t threads : {2u, 3u}) EXPECT_EQ(row_distances(build_graph(pts, 0.6f, 7, threads)), reference);
}

TEST(KnnGraph, EmptyCloudAndTablesThatCannotFit) {
    const KnnGraph empty = build_graph({}, 1.0f, 3);
    EXPECT_TRUE(empty.adjacency.empty());
    KnnGraph::Scratch scratch;
    EXPECT_TRUE(graph_knn(empty, {}, {0, 0, 0}, 1.0f, 4, scratch).empty());
    EXPECT_EQ(graph_count(empty, {0, 0, 0}, 1.0f, scratch), 0.0f);

    const auto pts = random_cloud(10, 0.0f, 1.0f, 3);
    EXPECT_THROW(build_graph(pts, 1.0f, UINT64_MAX), std::bad_alloc);  // N x degree overflows
    EXPECT_THROW(build_graph(pts, 1.0f, std::uint64_t{1} << 40), std::bad_alloc);
}

// Every answer is a subset of the exact one that starts with the exact nearest point.
TEST(KnnGraph, SearchesReportOnlyTrueNeighboursStartingWithTheNearest) {
    const auto pts = random_cloud(3000, -1.0f, 1.0f, 5);
    auto queries = random_cloud(150, -1.2f, 1.2f, 6);
    queries.push_back({5.0f, 5.0f, 5.0f});
    for (const float r : {0.25f, 0.5f}) {
        const KnnGraph g = build_graph(pts, r, 6);
        KnnGraph::Scratch scratch;
        for (const std::size_t k : {1u, 10u, 400u}) {
            for (const Point& q : queries) {
                const auto got = graph_knn(g, pts, q, r, k, scratch);
                const auto nearest = brute_nearest(pts, q, r, 1);
                ASSERT_EQ(got.empty(), nearest.empty());
                if (!got.empty()) {
                    ASSERT_EQ(got[0], nearest[0]);
                }
                for (const float d2 : got) ASSERT_LT(d2, r * r);
                ASSERT_LE(graph_count(g, q, r, scratch), static_cast<float>(brute_count(pts, q, r)));
            }
        }
    }
}

// When every point lies within r of every other and rows are long enough to list them
// all, the walk reaches everything: the answers are exact, for one reused scratch.
TEST(KnnGraph, CompleteGraphGivesExactAnswers) {
    const auto pts = random_cloud(300, 0.0f, 1.0f, 8);
    const float r = 2.0f;
    const KnnGraph g = build_graph(pts, r, 400, 3);
    KnnGraph::Scratch scratch;
    for (const Point& q : random_cloud(100, -0.5f, 1.5f, 9)) {
        for (const std::size_t k : {3u, 50u, 400u})
            ASSERT_EQ(graph_knn(g, pts, q, r, k, scratch), brute_nearest(pts, q, r, k));
        ASSERT_EQ(graph_count(g, q, r, scratch), static_cast<float>(brute_count(pts, q, r)));
    }
    // Every distance from a NaN query is NaN, which no test rejects: the entry's row is
    // still expanded and all its points are kept and counted.
    const Point nan_query{std::nanf(""), 0.5f, 0.5f};
    EXPECT_EQ(graph_knn(g, pts, nan_query, r, 400, scratch).size(), pts.size());
    EXPECT_EQ(graph_count(g, nan_query, r, scratch), static_cast<float>(pts.size()));
}

// Points on the x axis, queried from the origin with r = 1. The rows are set by hand:
// E (0.1) -> A (0.5), C (0.6), D (0.15), F (3); D -> B (0.2); F -> G (0.3). G is within r
// but listed only in the row of F, which lies outside.
class HandBuiltGraph : public ::testing::Test {
protected:
    enum { E, A, C, D, F, B, G };
    const std::vector<Point> pts{{0.1f, 0, 0}, {0.5f, 0, 0}, {0.6f, 0, 0}, {0.15f, 0, 0},
                                 {3.0f, 0, 0}, {0.2f, 0, 0}, {0.3f, 0, 0}};
    KnnGraph g = build_graph(pts, 1.0f, 4);
    KnnGraph::Scratch scratch;

    void SetUp() override {
        std::fill(g.adjacency.begin(), g.adjacency.end(), NO_EDGE);
        set_row(E, {A, C, D, F});
        set_row(D, {B});
        set_row(F, {G});
    }
    std::uint32_t pos(int row) const {
        const auto& rows = g.row_numbers();
        return static_cast<std::uint32_t>(std::find(rows.begin(), rows.end(), row) - rows.begin());
    }
    void set_row(int row, std::vector<int> targets) {
        for (std::size_t s = 0; s < targets.size(); ++s) g.adjacency[pos(row) * 4 + s] = pos(targets[s]);
    }
    std::vector<float> knn(std::size_t k, float epsilon = 0.0f) {
        return graph_knn(g, pts, {0, 0, 0}, 1.0f, k, scratch, epsilon);
    }
    static float sq(float x) { return x * x; }
};

TEST_F(HandBuiltGraph, OnlyPointsReachedThroughTheRadiusAreFound) {
    EXPECT_EQ(knn(7), (std::vector<float>{sq(0.1f), sq(0.15f), sq(0.2f), sq(0.5f), sq(0.6f)}));
    EXPECT_EQ(graph_count(g, {0, 0, 0}, 1.0f, scratch), 5.0f);
    // Best first: D (0.15) is expanded before A (0.5), whose pop then ends the walk.
    EXPECT_EQ(knn(3), (std::vector<float>{sq(0.1f), sq(0.15f), sq(0.2f)}));
    // Epsilon stops after the whole row of E, not at the third accepted offer (C).
    EXPECT_EQ(knn(3, 1.0f), (std::vector<float>{sq(0.1f), sq(0.15f), sq(0.5f)}));
    set_row(E, {A, C, D, G});
    EXPECT_EQ(graph_count(g, {0, 0, 0}, 1.0f, scratch), 6.0f);
}

TEST_F(HandBuiltGraph, CorruptedAdjacencyIsAnInternalError) {
    g.adjacency[pos(D) * 4 + 1] = 7;  // = N
    EXPECT_THROW(knn(7), kesra::InternalError);
    EXPECT_THROW(graph_count(g, {0, 0, 0}, 1.0f, scratch), kesra::InternalError);
    // With k = 1 the entry's row is never expanded, so a bad row is never read.
    g.adjacency[pos(D) * 4 + 1] = NO_EDGE;
    g.adjacency[pos(E) * 4 + 3] = 0xFFFFFFFE;
    EXPECT_EQ(knn(1), std::vector<float>{sq(0.1f)});
    EXPECT_THROW(knn(2), kesra::InternalError);

    SetUp();
    g.adjacency.resize(pos(D) * 4 + 3);  // ends inside the row of D
    EXPECT_THROW(knn(7), kesra::InternalError);
    EXPECT_THROW(graph_count(g, {0, 0, 0}, 1.0f, scratch), kesra::InternalError);
}

// After a walk with the last stamp, marks must be cleared: wrapping to 0 would take the
// never-reached G as visited, restarting at 1 would take everything the first walk reached.
TEST_F(HandBuiltGraph, StampWrapClearsTheMarks) {
    knn(7);
    ASSERT_EQ(scratch.stamp, 1u);
    set_row(E, {A, C, D, G});
    scratch.stamp = 0xFFFFFFFFu;
    EXPECT_EQ(knn(7), (std::vector<float>{sq(0.1f), sq(0.15f), sq(0.2f), sq(0.3f), sq(0.5f), sq(0.6f)}));
    EXPECT_EQ(scratch.stamp, 1u);
    scratch.stamp = 0xFFFFFFFFu;
    EXPECT_EQ(graph_count(g, {0, 0, 0}, 1.0f, scratch), 6.0f);

    // The same scratch serves a graph of another size.
    const auto others = random_cloud(50, 0.0f, 1.0f, 4);
    EXPECT_EQ(graph_count(build_graph(others, 2.0f, 60), {0, 0, 0}, 2.0f, scratch), 50.0f);
}
