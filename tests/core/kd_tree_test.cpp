#include "index/kdtree/kd_tree.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <vector>

#include "cloud.hpp"

using kesra::KD_LEAF_DIM;
using kesra::KdTree;
using kesra::Node;
using kesra::Point;
using namespace kesra_test;

namespace {

KdTree build_tree(const std::vector<Point>& pts, std::size_t threads = 2) {
    KdTree tree;
    kesra::WorkerPool::run(threads, [&](kesra::WorkerPool& pool) { tree = KdTree::build(pool, view_of(pts)); });
    return tree;
}

// Walks the subtree at `at` and returns its node count, checking the pre-order links, leaf
// ranges in position order, leaf sizes and the split property (NaN compares with nothing).
struct TreeCheck {
    const KdTree& tree;
    std::uint32_t next_position = 0;
    std::size_t depth = 0;

    std::size_t visit(std::uint32_t at, std::size_t level) {
        const Node& n = tree.nodes.at(at);
        if (n.split_dim == KD_LEAF_DIM) {
            EXPECT_EQ(n.first, next_position) << "leaf " << at;
            const std::size_t size = n.second - n.first, total = tree.points.size();
            EXPECT_TRUE(total <= 16 ? size == total : size >= 8 && size <= 16) << "leaf " << at << ": " << size;
            next_position = n.second;
            depth = std::max(depth, level);
            return 1;
        }
        EXPECT_LT(n.split_dim, 3);
        if (n.first != at + 1) {
            ADD_FAILURE() << "node " << at << " lower child " << n.first;
            return 1;
        }
        const std::uint32_t lower_begin = next_position;
        const std::size_t lower = visit(n.first, level + 1);
        EXPECT_EQ(n.second, at + 1 + lower) << "node " << at;
        const std::uint32_t upper_begin = next_position;
        const std::size_t upper = visit(at + 1 + static_cast<std::uint32_t>(lower), level + 1);
        float upper_min = std::numeric_limits<float>::infinity();
        for (std::uint32_t p = lower_begin; p < next_position; ++p) {
            const Point& pt = tree.points[p];
            const float c = n.split_dim == 0 ? pt.x : n.split_dim == 1 ? pt.y : pt.z;
            if (std::isnan(c) || std::isnan(n.split_value)) continue;
            EXPECT_TRUE(p < upper_begin ? c <= n.split_value : c >= n.split_value) << "node " << at << " at " << p;
            if (p >= upper_begin) upper_min = std::min(upper_min, c);
        }
        // The median itself goes to the upper side.
        EXPECT_TRUE(std::isnan(n.split_value) || upper_min == n.split_value) << "node " << at;
        return 1 + lower + upper;
    }
};

void expect_valid_tree(const KdTree& tree, const std::vector<Point>& input) {
    const std::size_t n = input.size();
    ASSERT_EQ(tree.points.size(), n);
    ASSERT_EQ(tree.original_indices.size(), n);
    std::vector<bool> seen(n, false);
    for (std::size_t p = 0; p < n; ++p) {
        const std::uint32_t row = tree.original_indices[p];
        ASSERT_TRUE(row < n && !seen[row]) << "position " << p;
        seen[row] = true;
        ASSERT_EQ(std::memcmp(&tree.points[p], &input[row], sizeof(Point)), 0) << "position " << p;
    }
    if (n == 0) {
        EXPECT_TRUE(tree.nodes.empty());
        return;
    }
    TreeCheck check{tree};
    EXPECT_EQ(check.visit(0, 0), tree.nodes.size());
    EXPECT_EQ(check.next_position, n);
    std::size_t expected_depth = 0;  // the larger half of each split decides the depth
    for (std::size_t size = n; size > 16; size -= size / 2) ++expected_depth;
    EXPECT_EQ(check.depth, expected_depth);
}

bool same_nodes(const std::vector<Node>& a, const std::vector<Node>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Node& x, const Node& y) {
        return std::memcmp(&x.split_value, &y.split_value, sizeof(float)) == 0 && x.split_dim == y.split_dim &&
               x.first == y.first && x.second == y.second;
    });
}

// Points 0, 1, ..., n - 1 on the x axis. For n = 17 the root splits at x = 8 into the
// leaves [0, 8) and [8, 17).
std::vector<Point> line_cloud(std::size_t n) {
    std::vector<Point> pts;
    for (std::size_t i = 0; i < n; ++i) pts.push_back({static_cast<float>(i), 0.0f, 0.0f});
    return pts;
}

}  // namespace

TEST(KdTree, SmallTreesAreOneLeafAndSeventeenSplitsOnce) {
    for (std::uint32_t n = 0; n <= 17; ++n) {
        const auto pts = random_cloud(n, -1.0f, 1.0f, n);
        const KdTree tree = build_tree(pts);
        SCOPED_TRACE(n);
        expect_valid_tree(tree, pts);
        if (n >= 1 && n <= 16) {  // one leaf, input order kept
            std::vector<std::uint32_t> rows(n);
            std::iota(rows.begin(), rows.end(), 0u);
            EXPECT_EQ(tree.original_indices, rows);
            EXPECT_EQ(tree.nodes[0].split_value, 0.0f);
        }
    }
    const KdTree t17 = build_tree(line_cloud(17));
    ASSERT_EQ(t17.nodes.size(), 3u);
    EXPECT_EQ(t17.nodes[0].split_value, 8.0f);
}

TEST(KdTree, InvariantsHoldOnAwkwardClouds) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::nanf("");
    auto mixed = lattice_cloud(3000, 2, 1);  // many duplicates and equal coordinates
    const auto loose = random_cloud(3000, -1e6f, 1e6f, 2);
    mixed.insert(mixed.end(), loose.begin(), loose.end());
    for (int i = 0; i < 40; ++i) mixed.push_back({i % 2 ? inf : -inf, nan, static_cast<float>(i)});
    expect_valid_tree(build_tree(mixed), mixed);

    const std::vector<Point> same(1000, Point{0.5f, -2.0f, 3.0f});
    const KdTree tree = build_tree(same);
    expect_valid_tree(tree, same);
    for (const Node& n : tree.nodes) {
        EXPECT_TRUE(n.split_dim == KD_LEAF_DIM || (n.split_dim == 0 && n.split_value == 0.5f));
    }

    auto tall = line_cloud(20);  // y is the widest axis once its NaN is ignored
    for (std::size_t i = 0; i < tall.size(); ++i) tall[i].y = static_cast<float>(i) * 10.0f;
    tall[3].y = nan;
    EXPECT_EQ(build_tree(tall).nodes.at(0).split_dim, 1);
}

// Pool sizes, an offset and a call from inside a loop body (as per-cell subtrees are
// built) must all give the same nodes and order. With 4 * 16384 + 1 points the parallel
// top levels meet halves of 16384 and 16385 points, whose node counts differ.
TEST(KdTree, SameTreeWhateverThePoolSizeOrCallingContext) {
    const auto pts = random_cloud(4 * kesra::KD_PARALLEL_MIN + 1, -50.0f, 50.0f, 3);
    const KdTree reference = build_tree(pts, 1);
    expect_valid_tree(reference, pts);
    for (const std::size_t threads : {2u, 3u}) {
        const KdTree tree = build_tree(pts, threads);
        EXPECT_TRUE(same_nodes(tree.nodes, reference.nodes)) << threads << " threads";
        EXPECT_EQ(tree.original_indices, reference.original_indices) << threads << " threads";
    }
    std::vector<kesra::IndexedPoint> items;
    for (std::uint32_t i = 0; i < pts.size(); ++i) items.push_back({pts[i].x, pts[i].y, pts[i].z, i});
    std::vector<Node> nested;
    kesra::WorkerPool::run(3, [&](kesra::WorkerPool& pool) {
        pool.for_each(1, [&](std::size_t) {
            nested = kesra::kd_build_nodes(pool, items.data(), static_cast<std::uint32_t>(items.size()), 100);
        });
    });
    for (Node& n : nested) {
        if (n.split_dim == KD_LEAF_DIM) n.first -= 100, n.second -= 100;
    }
    EXPECT_TRUE(same_nodes(nested, reference.nodes));
    for (std::size_t p = 0; p < items.size(); ++p) ASSERT_EQ(items[p].row, reference.original_indices[p]);
}

// Equal distances may be kept in any order, so rows are compared by distance and each
// reported point against its own distance.
TEST(KdTree, SearchesAgreeWithBruteForce) {
    auto pts = lattice_cloud(2000, 2, 10), queries = lattice_cloud(100, 3, 12);
    const auto loose = random_cloud(2000, -2.5f, 2.5f, 11), loose_queries = random_cloud(100, -3.0f, 3.0f, 13);
    pts.insert(pts.end(), loose.begin(), loose.end());
    queries.insert(queries.end(), loose_queries.begin(), loose_queries.end());
    queries.push_back({40.0f, 0.0f, 0.0f});
    const KdTree tree = build_tree(pts);

    for (const float r : {0.5f, 1.0f, 3.0f}) {
        for (const std::size_t k : {1u, 7u, 300u}) {
            kesra::NeighbourList list(k, r, 0.0f, pts.size());
            for (std::size_t qi = 0; qi < queries.size(); ++qi) {
                list.reset();
                tree.knn_search(queries[qi], list);
                list.sort_ascending();
                const auto expected = brute_nearest(pts, queries[qi], r, k);
                ASSERT_EQ(list.size(), expected.size()) << "r=" << r << " k=" << k << " query " << qi;
                for (std::size_t i = 0; i < list.size(); ++i) {
                    const auto& c = list.data()[i];
                    ASSERT_EQ(c.dist_sq, expected[i]) << "r=" << r << " k=" << k << " query " << qi;
                    ASSERT_EQ(brute_d2(queries[qi], pts[tree.original_indices.at(c.position)]), c.dist_sq);
                }
            }
        }
        // Weighting with p = 0 adds exactly 1.0 per point: both paths must count alike.
        kesra::CountAccumulator plain(r, std::nullopt), weighted(r, 0.0f);
        for (std::size_t qi = 0; qi < queries.size(); ++qi) {
            const auto expected = static_cast<float>(brute_count(pts, queries[qi], r));
            plain.reset();
            weighted.reset();
            tree.count_search(queries[qi], plain);
            tree.count_search(queries[qi], weighted);
            ASSERT_TRUE(plain.sum() == expected && weighted.sum() == expected) << "r=" << r << " query " << qi;
        }
        // NaN distances and bounds are never rejected: a query of NaNs counts every point.
        plain.reset();
        tree.count_search({std::nanf(""), std::nanf(""), std::nanf("")}, plain);
        EXPECT_EQ(plain.sum(), static_cast<float>(pts.size()));
    }
}

// A query on the splitting plane x = 8, or NaN there, goes to the upper leaf [8, 17) first.
// The tight walk of finite data must offer exactly what the plain walk offers and keeps:
// same lists (entries in heap order), same early stops, same sums.
TEST(KdTree, TightPruningChangesNothing) {
    auto pts = lattice_cloud(3000, 4, 21);  // many equal distances
    const auto more = random_cloud(3000, -4.0f, 4.0f, 22);
    pts.insert(pts.end(), more.begin(), more.end());
    const KdTree tree = build_tree(pts);
    ASSERT_TRUE(tree.finite_points);
    for (const Point& q : random_cloud(300, -5.0f, 5.0f, 23)) {
        for (const float eps : {0.0f, 0.7f}) {
            kesra::NeighbourList plain(9, 1.5f, eps, pts.size()), tight(9, 1.5f, eps, pts.size());
            kesra::kd_knn_search(tree.nodes.data(), tree.nodes.size(), 0, tree.points.data(), pts.size(), false, q, plain);
            kesra::kd_knn_search(tree.nodes.data(), tree.nodes.size(), 0, tree.points.data(), pts.size(), true, q, tight);
            ASSERT_EQ(plain.size(), tight.size());
            for (std::size_t i = 0; i < plain.size(); ++i) {
                EXPECT_EQ(plain.data()[i].position, tight.data()[i].position);
                EXPECT_EQ(plain.data()[i].dist_sq, tight.data()[i].dist_sq);
            }
        }
        kesra::CountAccumulator plain(1.5f, 2.0f), tight(1.5f, 2.0f);
        kesra::kd_count_search(tree.nodes.data(), tree.nodes.size(), 0, tree.points.data(), pts.size(), false, q, plain);
        kesra::kd_count_search(tree.nodes.data(), tree.nodes.size(), 0, tree.points.data(), pts.size(), true, q, tight);
        EXPECT_EQ(plain.sum(), tight.sum());
    }
}

TEST(KdTree, UpperChildFirstOnThePlaneAndEpsilonStopsAfterTheLeaf) {
    auto pts = line_cloud(17);
    pts[7].x = 7.95f;  // nearer to x = 8 than x = 9 is, but in the lower leaf
    const KdTree tree = build_tree(pts);
    auto nearest_two = [&](float epsilon) {
        kesra::NeighbourList list(2, 100.0f, epsilon, pts.size());
        tree.knn_search({8.0f, 0, 0}, list);
        list.sort_ascending();
        return std::vector<float>{tree.points[list.data()[0].position].x, tree.points[list.data()[1].position].x};
    };
    EXPECT_EQ(nearest_two(0.0f), (std::vector<float>{8.0f, 7.95f}));
    EXPECT_EQ(nearest_two(100.0f), (std::vector<float>{8.0f, 9.0f}));

    // Every distance of a NaN query is NaN and replaces the top of a full list, so the
    // last position offered stays: 7, the end of the lower leaf, when that leaf is second.
    kesra::NeighbourList one(1, 100.0f, 0.0f, pts.size());
    tree.knn_search({std::nanf(""), 0, 0}, one);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.data()[0].position, 7u);
}

// Fields of a restored tree can be anything; every index followed must be checked.
TEST(KdTree, CorruptedTreesAreInternalErrors) {
    const KdTree good = build_tree(line_cloud(17));  // root, leaf [0, 8), leaf [8, 17)
    // How many of the two searches (r = 10) throw an internal error.
    auto failures = [&](const std::vector<Node>& nodes, std::uint32_t root = 0, Point q = {0.0f, 0.0f, 0.0f}) {
        kesra::NeighbourList list(4, 10.0f, 0.0f, 17);
        kesra::CountAccumulator acc(10.0f, std::nullopt);
        const Point* points = good.points.data();
        int thrown = 0;
        try {
            kesra::kd_knn_search(nodes.data(), nodes.size(), root, points, 17, false, q, list);
        } catch (const kesra::InternalError&) { ++thrown; }
        try {
            kesra::kd_count_search(nodes.data(), nodes.size(), root, points, 17, false, q, acc);
        } catch (const kesra::InternalError&) { ++thrown; }
        return thrown;
    };
    EXPECT_EQ(failures(good.nodes), 0);
    EXPECT_EQ(failures(good.nodes, 3), 2);
    auto bad_child = good.nodes, beyond_points = good.nodes, reversed = good.nodes, bad_dim = good.nodes;
    bad_child[0].first = 3;
    beyond_points[1].second = 18;
    reversed[1].first = 9;
    bad_dim[0].split_dim = 4;
    for (const auto* nodes : {&bad_child, &beyond_points, &reversed, &bad_dim}) EXPECT_EQ(failures(*nodes), 2);

    // A chain of inner nodes whose far children all wait on the stack: 63 levels fill it
    // exactly, 64 need a 65th entry.
    auto chain = [](std::uint32_t depth) {
        std::vector<Node> nodes;
        for (std::uint32_t i = 0; i < depth; ++i) nodes.push_back({1.0f, i + 1, depth, 0});
        nodes.push_back({0.0f, 0, 17, KD_LEAF_DIM});
        return nodes;
    };
    EXPECT_EQ(failures(chain(63)), 0);
    EXPECT_EQ(failures(chain(64)), 2);

    // A pruned leaf is never read: from x = 20 the lower leaf's bound (20 - 8)^2 = 144
    // reaches r^2 = 100; from x = 9 it is 1, below both searches' bounds.
    auto hidden = good.nodes;
    hidden[1].second = 99;
    EXPECT_EQ(failures(hidden, 0, {20.0f, 0.0f, 0.0f}), 0);
    EXPECT_EQ(failures(hidden, 0, {9.0f, 0.0f, 0.0f}), 2);
}
