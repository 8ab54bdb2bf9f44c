#include "index/mod/neighbour_list.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using kesra::NeighbourList;

namespace {

std::vector<std::pair<float, std::uint32_t>> row(NeighbourList& list) {
    list.sort_ascending();
    std::vector<std::pair<float, std::uint32_t>> out;
    for (std::size_t i = 0; i < list.size(); ++i) out.emplace_back(list.data()[i].dist_sq, list.data()[i].position);
    return out;
}

}  // namespace

TEST(NeighbourList, KeepsTheKSmallestBelowTheRadius) {
    NeighbourList list(3, 2.0f, 0.0f, 100);
    for (std::uint32_t p = 0; p < 10; ++p) list.offer(static_cast<float>((p * 7) % 10) * 0.5f, p);
    // Squared distances offered: 0, 3.5, 2, 0.5, 4 (= r^2), 1.5, 1, 4.5, 3, 2.5
    const auto kept = row(list);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0], (std::pair<float, std::uint32_t>{0.0f, 0}));
    EXPECT_EQ(kept[1], (std::pair<float, std::uint32_t>{0.5f, 3}));
    EXPECT_EQ(kept[2], (std::pair<float, std::uint32_t>{1.0f, 6}));
}

TEST(NeighbourList, CandidateAtTheRadiusIsRejectedAndFirstOfEqualsStays) {
    NeighbourList list(2, 1.0f, 0.0f, 100);
    list.offer(1.0f, 0);  // exactly r^2
    EXPECT_EQ(list.size(), 0u);
    list.offer(0.25f, 1);
    list.offer(0.5f, 2);
    list.offer(0.5f, 3);  // ties with the largest kept: rejected
    const auto kept = row(list);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[1].second, 2u);
}

TEST(NeighbourList, NaNIsAcceptedAndSortsLast) {
    NeighbourList list(3, 1.0f, 0.0f, 100);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    list.offer(nan, 0);
    list.offer(0.5f, 1);
    list.offer(nan, 2);
    // A full list whose top is NaN still bounds further offers by r^2.
    EXPECT_EQ(list.threshold(), 1.0f);
    const auto kept = row(list);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0].second, 1u);
    EXPECT_TRUE(std::isnan(kept[1].first) && std::isnan(kept[2].first));
}

TEST(NeighbourList, EarlyStopCountsAcceptedOffersBelowEpsilon) {
    NeighbourList list(2, 1.0f, 0.5f, 100);
    list.offer(0.1f, 0);
    EXPECT_FALSE(list.is_done());
    list.offer(2.0f, 1);  // rejected: does not count
    EXPECT_FALSE(list.is_done());
    list.offer(0.2f, 2);
    EXPECT_TRUE(list.is_done());
    list.reset();
    EXPECT_FALSE(list.is_done());
    EXPECT_EQ(list.size(), 0u);
}

TEST(NeighbourList, WriteRowPadsAndMapsPositions) {
    NeighbourList list(4, 10.0f, 0.0f, 100);
    list.offer(9.0f, 1);
    list.offer(4.0f, 0);
    const std::uint32_t original[] = {42, 7};
    std::int32_t idx[4];
    float dist[4];
    list.write_row(original, 2, idx, dist);
    EXPECT_EQ(idx[0], 42);
    EXPECT_EQ(idx[1], 7);
    EXPECT_EQ(dist[0], 2.0f);
    EXPECT_EQ(dist[1], 3.0f);
    EXPECT_EQ(idx[2], -1);
    EXPECT_EQ(dist[3], -1.0f);
}

TEST(NeighbourList, PositionOutsideOriginalIndicesIsAnInternalError) {
    NeighbourList list(1, 10.0f, 0.0f, 100);
    list.offer(1.0f, 5);
    const std::uint32_t original[] = {0, 1};
    std::int32_t idx[1];
    float dist[1];
    EXPECT_THROW(list.write_row(original, 2, idx, dist), kesra::InternalError);
}
