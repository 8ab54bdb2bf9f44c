#pragma once
// Scans of long ranges eight distances at a time, on processors that have AVX2. Each lane
// runs the same float32 operations as squared_distance, so counts and offers are the same
// as the four-at-a-time scans'. The processor is asked once per process.
#include <cstddef>
#include <cstdint>

#include "index/results/any_order_list.hpp"
#include "index/results/neighbour_list.hpp"
#include "index/results/within_list.hpp"
#include "base/points_view.hpp"

namespace kesra {

// Whether the functions below may run here.
bool has_wide_scan();

// The number of points in [start, start + 8 * blocks) whose d2 from q is not >= bound.
std::uint64_t count_below_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                                   float bound);

// Equivalent to list.offer(d2, p) for every p in [start, start + 8 * blocks), in order.
void offer_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                    NeighbourList& list);
void offer_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                    WithinList& list);
// The same for a list that notes what it passes over; it is shown the rejected lanes.
void offer_by_eight(const Point& q, const Point* points, std::uint32_t start, std::uint32_t blocks,
                    AnyOrderList& list);

}  // namespace kesra
