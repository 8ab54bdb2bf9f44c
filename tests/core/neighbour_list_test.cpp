#include "index/mod/neighbour_list.hpp"

#include <gtest/gtest.h>

#include <cmath>

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
