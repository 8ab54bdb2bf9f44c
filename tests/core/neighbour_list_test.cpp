#include "index/results/neighbour_list.hpp"
#include "index/scan/range_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "cloud.hpp"

using kesra::NeighbourList;
using kesra_test::kept_rows;

TEST(NeighbourList, KeepsTheKSmallestBelowTheRadiusTheFirstOfEqualsAndNaN) {
    NeighbourList list(3, 2.0f, 0.0f, 100);
    list.offer(4.0f, 99);  // exactly r^2: rejected while the list has room
    EXPECT_EQ(list.size(), 0u);
    for (std::uint32_t p = 0; p < 10; ++p) list.offer(static_cast<float>((p * 7) % 10) * 0.5f, p);
    // Offered: 0, 3.5, 2, 0.5, 4, 1.5, 1, 4.5, 3, 2.5. Then a tie with the largest kept.
    list.offer(1.0f, 20);
    EXPECT_EQ(kept_rows(list), (std::vector<std::uint32_t>{0, 3, 6}));
    list.reset();
    list.offer(NAN, 0);
    list.offer(0.5f, 1);
    list.offer(NAN, 2);
    EXPECT_EQ(list.threshold(), 4.0f);  // a NaN top still bounds further offers by r^2
    EXPECT_EQ(kept_rows(list).at(0), 1u);
    EXPECT_TRUE(list.size() == 3 && std::isnan(list.data()[1].dist_sq) && std::isnan(list.data()[2].dist_sq));
    NeighbourList crowded(8, 2.0f, 0.0f, 1);  // more offers than the room it was sized for
    for (std::uint32_t p = 0; p < 5; ++p) crowded.offer(static_cast<float>(p), 0);
    EXPECT_EQ(kept_rows(crowded), (std::vector<std::uint32_t>{0, 0, 0, 0}));
}

// Sorting keeps equal distances in store order (a heap once full) and follows the IEEE
// total order (signed zeros, NaN of either sign), for full and partly filled lists of
// every length through the networks, the insertion sort and the merges.
TEST(NeighbourList, SortIsTheStableSortOfTheStore) {
    std::mt19937 rng(3);
    const float values[] = {0.0f, -0.0f, 0.5f, 1.0f, 1.5f, 2.5f, std::nanf(""), -std::nanf("")};
    for (std::size_t k = 1; k <= 80; ++k) {
        for (const std::size_t offers : {std::size_t{200}, k - 1}) {
            NeighbourList list(k, 10.0f, 0.0f, 1000);
            for (std::uint32_t p = 0; p < offers; ++p) list.offer(values[rng() % (p % 3 == 0 ? 8 : 6)], p);
            std::vector<kesra::Candidate> expected(list.data(), list.data() + list.size());
            std::stable_sort(expected.begin(), expected.end(), [](auto& a, auto& b) {
                return NeighbourList::total_order_key(a.dist_sq) < NeighbourList::total_order_key(b.dist_sq);
            });
            list.sort_ascending();
            for (std::size_t i = 0; i < expected.size(); ++i)
                ASSERT_EQ(list.data()[i].position, expected[i].position) << "k=" << k << ", offers " << offers;
        }
    }
}

// By the 0-1 principle a network sorts every input if it sorts every input of 0s and 1s.
TEST(NeighbourList, SortingNetworksSortEveryInputOfZerosAndOnes) {
    for (const std::size_t width : {4u, 8u, 16u})
        for (std::uint32_t bits = 0; bits < (1u << width); ++bits) {
            std::uint64_t keys[16] = {};
            for (std::size_t i = 0; i < width; ++i) keys[i] = (bits >> i) & 1u;
            kesra::sort_keys_by_network(keys, width);
            ASSERT_TRUE(std::is_sorted(keys, keys + width)) << "width " << width << ", input " << bits;
        }
}

// Epsilon beyond the radius, so that a rejected offer is below it too.
TEST(NeighbourList, EarlyStopCountsAcceptedOffersBelowEpsilon) {
    NeighbourList list(2, 1.0f, 2.0f, 100);
    list.offer(0.1f, 0);
    list.offer(2.0f, 1);  // rejected: does not count
    EXPECT_FALSE(list.is_done());
    list.offer(0.2f, 2);
    EXPECT_TRUE(list.is_done());
    list.reset();
    EXPECT_TRUE(!list.is_done() && list.size() == 0);
}

TEST(NeighbourList, WriteRowMapsPositionsPadsAndChecksBounds) {
    NeighbourList list(4, 10.0f, 0.0f, 100);
    list.offer(9.0f, 1);
    list.offer(4.0f, 0);
    const std::uint32_t original[] = {42, 7};
    std::int32_t idx[4];
    float dist[4];
    list.write_row(original, 2, idx, dist);
    EXPECT_EQ(std::vector<std::int32_t>(idx, idx + 4), (std::vector<std::int32_t>{42, 7, -1, -1}));
    EXPECT_EQ(std::vector<float>(dist, dist + 4), (std::vector<float>{2.0f, 3.0f, -1.0f, -1.0f}));
    list.offer(1.0f, 2);  // a position beyond the two original indices
    EXPECT_THROW(list.write_row(original, 2, idx, dist), kesra::InternalError);
}

// A NaN distance that becomes the top of a full list raises the bound back to r^2 in the
// middle of a block; the block scan must then offer the rest one by one, like plain offers.
TEST(NeighbourList, RangeScanMatchesPlainOffersWhenNaNRaisesTheBound) {
    const float nan = std::nanf("");
    // Distances from the origin: 0.1, 0.2 fill the list (k = 2, bound 0.04); NaN replaces
    // the top (bound back to r^2 = 1); 0.5 lies between the old and the new bound.
    const std::vector<kesra::Point> pts = {{0.1f, 0, 0}, {0.2f, 0, 0}, {nan, 0, 0}, {0.5f, 0, 0}, {0.9f, 0, 0}};
    NeighbourList plain(2, 1.0f, 0.0f, pts.size()), scanned(2, 1.0f, 0.0f, pts.size());
    const kesra::Point q{0, 0, 0};
    for (std::uint32_t p = 0; p < pts.size(); ++p) plain.offer(kesra::squared_distance(q, pts[p]), p);
    // The second scan starts with a full list, so its block is filtered against 0.04.
    kesra::offer_range(q, pts.data(), 0, 2, scanned);
    kesra::offer_range(q, pts.data(), 2, static_cast<std::uint32_t>(pts.size()), scanned);
    ASSERT_EQ(plain.size(), scanned.size());
    for (std::size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(plain.data()[i].position, scanned.data()[i].position);
    EXPECT_EQ(plain.threshold(), scanned.threshold());
}
