#pragma once
// Scans of a contiguous range of positions, shared by every structure: offering the
// points to a candidate list, or counting them.
#include <cstdint>

#include "count_accumulator.hpp"
#include "points_view.hpp"

namespace kesra {

// Equivalent to calling list.offer(d2, p) for every position in order. Distances are
// computed a block at a time and only those below the bound at the start of the block
// are offered, which keeps the unpredictable accept/reject branch out of the loop over
// points. The bound only falls while offers are made, except when a NaN distance is
// kept at the top of a full list; then the rest of the block is offered one by one.
template <class List>
void offer_range(const Point& q, const Point* points, std::uint32_t start, std::uint32_t end, List& list) {
    constexpr std::uint32_t block = 64;
    float d2[block];
    std::uint32_t picked[block];
    for (std::uint32_t first = start; first < end; first += block) {
        const std::uint32_t count = end - first < block ? end - first : block;
        const float bound = list.threshold();
        std::uint32_t n = 0;
        for (std::uint32_t j = 0; j < count; ++j) {
            d2[j] = squared_distance(q, points[first + j]);
            picked[n] = j;
            n += !(d2[j] >= bound);
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            const std::uint32_t j = picked[i];
            list.offer(d2[j], first + j);
            if (list.threshold() > bound) [[unlikely]] {
                for (std::uint32_t rest = j + 1; rest < count; ++rest) list.offer(d2[rest], first + rest);
                break;
            }
        }
    }
}

// Passes every point of [start, end) whose d2 is not >= acc.max_dist_sq() to the
// accumulator, in position order. Plain counting adds 1 per point, so it counts in
// integers, which gives the same sum.
inline void count_range(const Point& q, const Point* points, std::uint32_t start, std::uint32_t end,
                        CountAccumulator& acc) {
    const float bound = acc.max_dist_sq();
    if (acc.weighted()) {
        for (std::uint32_t p = start; p < end; ++p) {
            const float d2 = squared_distance(q, points[p]);
            if (!(d2 >= bound)) acc.add(d2);
        }
        return;
    }
    std::uint64_t n = 0;
    for (std::uint32_t p = start; p < end; ++p) n += !(squared_distance(q, points[p]) >= bound);
    acc.add_count(n);
}

}  // namespace kesra
