#include "index/kdtree/kd_tree.hpp"

#include "cloud.hpp"
#include "index/kdtree/median_select.hpp"

using kesra::KdTree;
using kesra::Node;
using namespace kesra_test;

namespace {

void expect_valid_tree(const KdTree& tree, const std::vector<Point>& input) {
    expect_permutation(tree.points, tree.original_indices, input);
    const auto n = static_cast<std::uint32_t>(input.size());
    EXPECT_EQ(n == 0 ? 0 : expect_valid_subtree(tree.nodes, tree.points, 0, 0, n), tree.nodes.size());
}

}  // namespace

TEST(KdTree, InvariantsHoldOnSmallAndAwkwardClouds) {
    auto mixed = lattice_and_loose(3000, 2, 1);  // many duplicates and equal coordinates
    for (int i = 0; i < 40; ++i) mixed.push_back({i % 2 ? INFINITY : -1e6f, NAN, static_cast<float>(i)});
    std::vector<Point> same(1000, Point{0.5f, -2.0f, 3.0f}), none, sixteen = random_cloud(16, -1.0f, 1.0f, 16);
    for (const auto* pts : {&mixed, &same, &none, &sixteen}) expect_valid_tree(build_on<KdTree>(2, *pts), *pts);
    for (const Node& n : build_on<KdTree>(2, same).nodes) EXPECT_LT(n.split_dim % 3, 1);  // ties go to x
    EXPECT_TRUE(std::ranges::is_sorted(build_on<KdTree>(2, sixteen).original_indices));  // one leaf, input order
    std::vector<Point> tall;  // y is the widest axis once its NaN is ignored
    for (int i = 0; i < 17; ++i) tall.push_back({static_cast<float>(i), i == 16 ? NAN : i * 10.0f, 0.0f});
    EXPECT_EQ(build_on<KdTree>(2, tall).nodes.at(0).split_dim, 1);
}

// Every path of the selection (sorted small ranges, slices, samples that miss, repeated
// keys, infinities, NaN) leaves a permutation with rank k in place: nothing greater
// before it, nothing smaller after it, and for finite keys the value nth_element finds.
TEST(KdTree, SelectionPutsRankKInPlaceOnAwkwardKeys) {
    std::mt19937 rng(7);
    const float specials[] = {NAN, -NAN, INFINITY, -INFINITY, -0.0f, 0.0f};
    for (int round = 0; round < 300; ++round) {
        const std::uint32_t n = std::uniform_int_distribution<std::uint32_t>(1, round % 3 ? 3000 : 40000)(rng);
        const int kind = round % 5, distinct = 1 << (round % 11);
        std::vector<kesra::IndexedPoint> items(n), scratch(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            float v = kind == 0 ? static_cast<float>(rng() % distinct)      // repeated keys
                      : kind == 1 ? static_cast<float>(i) * (round % 2 ? 1.0f : -1.0f)  // sorted
                                  : std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
            if (kind == 3 && rng() % 8 == 0) v = specials[rng() % 6];
            items[i] = {0.0f, v, 0.0f, i};
        }
        const auto input = items;
        const std::uint32_t k = static_cast<std::uint32_t>(rng() % n);
        const auto [lo, hi] = kesra::kd_select::coordinate_range(items.data(), n, 1);
        kesra::kd_select::select_into(items.data(), scratch.data(), n, k, 1, lo, hi);
        std::vector<bool> seen(n);
        for (const auto& item : scratch) seen.at(item.row) = true;
        ASSERT_EQ(std::count(seen.begin(), seen.end(), true), n) << "round " << round;
        const float at = scratch[k].y;
        for (std::uint32_t i = 0; i < n; ++i) ASSERT_FALSE(i < k ? scratch[i].y > at : scratch[i].y < at) << round;
        if (kind != 3) {
            std::vector<float> keys(n);
            for (std::uint32_t i = 0; i < n; ++i) keys[i] = input[i].y;
            std::nth_element(keys.begin(), keys.begin() + k, keys.end());
            ASSERT_EQ(keys[k], at) << "round " << round;
        }
    }
}

// With 4 * 16384 + 1 points the parallel top levels meet halves of 16384 and 16385
// points, whose node counts differ.
TEST(KdTree, SameTreeWhateverThePoolSize) {
    const auto pts = random_cloud(4 * kesra::KD_PARALLEL_MIN + 1, -50.0f, 50.0f, 3);
    auto fields = [&](std::size_t threads) {
        const KdTree tree = build_on<KdTree>(threads, pts);
        expect_valid_tree(tree, pts);
        std::vector<std::tuple<float, std::uint32_t, std::uint32_t, int>> nodes;
        for (const Node& n : tree.nodes) nodes.emplace_back(n.split_value, n.first, n.second, n.split_dim);
        return std::make_pair(nodes, tree.original_indices);
    };
    const auto reference = fields(1);
    for (const std::size_t threads : {2u, 3u}) EXPECT_EQ(fields(threads), reference) << threads << " threads";
}

// The tight walk of finite data must offer exactly what the plain walk offers and keeps:
// same lists (entries in heap order), same early stops, same sums.
TEST(KdTree, SearchesAgreeWithBruteForceAndTightPruningChangesNothing) {
    const auto pts = lattice_and_loose(2000, 2, 10);
    auto queries = lattice_and_loose(100, 3, 12);
    queries.push_back({40.0f, 0.0f, 0.0f});
    const KdTree tight = build_on<KdTree>(2, pts);
    for (const float r : {0.5f, 3.0f}) expect_brute_force(tight, pts, queries, r);
    // NaN distances and bounds are never rejected: a query of NaNs counts every point.
    EXPECT_EQ(count_sum(tight, {NAN, NAN, NAN}, 1.0f), static_cast<float>(pts.size()));
    ASSERT_TRUE(tight.finite_points);
    KdTree plain = tight;
    plain.finite_points = false;
    for (const Point& q : queries) {
        for (const float eps : {0.0f, 0.7f}) {
            kesra::NeighbourList a(9, 1.5f, eps, pts.size()), b(9, 1.5f, eps, pts.size());
            plain.knn_search(q, a);
            tight.knn_search(q, b);
            ASSERT_TRUE(a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(*a.data())) == 0);
        }
        ASSERT_EQ(count_sum(plain, q, 1.5f, 2.0f), count_sum(tight, q, 1.5f, 2.0f));
    }
}

// On 0, 1, ..., 16 along x the root splits at 8 into the leaves [0, 8) and [8, 17). A query
// on the plane, or NaN there, visits the upper leaf first; epsilon stops the walk after it,
// and a NaN query keeps the last point offered: 7, the end of the lower leaf. Fields of a
// restored tree can be anything; every index followed must be checked.
TEST(KdTree, UpperChildFirstAndCorruptedTreesAreInternalErrors) {
    std::vector<Point> line;  // 7.95 is nearer to 8 than 9 is, but in the lower leaf
    for (int i = 0; i < 17; ++i) line.push_back({i == 7 ? 7.95f : static_cast<float>(i), 0.0f, 0.0f});
    KdTree tree = build_on<KdTree>(2, line);
    const std::vector<Node> good = tree.nodes;
    ASSERT_TRUE(good.size() == 3 && good[0].split_value == 8.0f && good[1].second == 8);  // the median goes up
    kesra::NeighbourList two(2, 100.0f, 100.0f, 17), one(1, 100.0f, 0.0f, 17);
    tree.knn_search({8.0f, 0.0f, 0.0f}, two);
    tree.knn_search({NAN, 0.0f, 0.0f}, one);
    EXPECT_EQ(kept_rows(two, &tree.original_indices), (std::vector<std::uint32_t>{8, 9}));
    EXPECT_EQ(kept_rows(one, &tree.original_indices), std::vector<std::uint32_t>{7});
    // A chain of inner nodes whose far children (empty leaves) all wait on the stack: 63
    // levels fill it exactly, 64 need a 65th entry.
    auto chain = [](std::uint32_t depth) {
        std::vector<Node> nodes;
        for (std::uint32_t i = 0; i < depth; ++i) nodes.push_back({1.0f, i + 1, depth + 1 + i, 0});
        nodes.push_back({0.0f, 0, 17, kesra::KD_LEAF_DIM});
        for (std::uint32_t i = 0; i < depth; ++i) nodes.push_back({0.0f, 0, 0, kesra::KD_LEAF_DIM});
        return nodes;
    };
    auto failures = [&](const std::vector<Node>& nodes) {
        tree.nodes = nodes;
        return search_failures(tree, {0.0f, 0.0f, 0.0f}, 10.0f);
    };
    EXPECT_EQ(failures(good) + failures(chain(63)), 0);
    EXPECT_EQ(failures(chain(64)), 2);
    std::vector<std::vector<Node>> bad(3, good);
    bad[0][1].second = 18;  // leaf beyond the points
    bad[1][1].first = 9;    // leaf range reversed
    bad[2][0].split_dim = 4;
    bad.push_back(good);
    bad[3][0].second = 0;  // a cycle through the far child: the stack never grows
    for (const auto& nodes : bad) EXPECT_EQ(failures(nodes), 2);
}
