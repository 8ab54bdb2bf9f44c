#pragma once
// Scans of a contiguous range of positions, shared by every structure: offering the
// points to a candidate list, or counting them.
#include <cstdint>
#include <type_traits>

#include "index/results/count_accumulator.hpp"
#include "index/results/result_set.hpp"
#include "index/results/within_list.hpp"
#include "index/scan/distance_block.hpp"
#include "index/scan/lane_offers.hpp"
#include "base/points_view.hpp"
#include "index/scan/wide_scan.hpp"

namespace kesra {

// Ranges this long are worth the call into the eight-at-a-time scans.
constexpr std::uint32_t WIDE_SCAN_MIN_POINTS = 24;

// Equivalent to calling list.offer(d2, p) for every position in order. Distances are
// computed four at a time and only those below the bound read before the four are
// offered, so most points cost no branch of their own. The bound only falls while offers
// are made, except when a NaN distance is kept at the top of a full list; then the rest
// of the four are offered one by one. A list that notes what it passes over is shown the
// lanes rejected as a whole (pass_over_lanes).
template <CandidateList List>
void offer_range(const Point& q, const Point* points, std::uint32_t start, std::uint32_t end, List& list) {
    std::uint32_t p = start;
    // Crowded cells eight at a time where the processor can (for the lists compiled for it).
    if constexpr (requires { offer_by_eight(q, points, p, p, list); }) {
        if (end - p >= WIDE_SCAN_MIN_POINTS && has_wide_scan()) {
            const std::uint32_t blocks = (end - p) / 8;
            offer_by_eight(q, points, p, blocks, list);
            p += 8 * blocks;
        }
    }
#if defined(__SSE2__)
    const DistanceBlock four(q);
    alignas(16) float d2[4];
    if constexpr (std::is_same_v<List, WithinList>) {
        // The bound never changes: the lanes below it are kept without offering each.
        const __m128 bound = DistanceBlock::splat(list.threshold());
        for (; p + 4 <= end; p += 4) {
            const __m128 block = four.four(points + p);
            unsigned mask = DistanceBlock::below(block, bound);
            if (mask == 0) continue;
            _mm_store_ps(d2, block);
            const WithinList::Block to = list.next_block();
            unsigned kept = 0;
            for (; mask != 0; mask &= mask - 1, ++kept) {
                const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
                to.positions[kept] = p + j;
                to.d2[kept] = d2[j];
            }
            list.keep(kept);
        }
    }
    for (; p + 4 <= end; p += 4) {
        const float bound = list.threshold();
        const __m128 block = four.four(points + p);
        const __m128 offered = DistanceBlock::below_lanes(block, DistanceBlock::splat(bound));
        if constexpr (NotesPassedOver<List>) list.pass_over_lanes(block, offered);
        unsigned mask = static_cast<unsigned>(_mm_movemask_ps(offered));
        if (mask == 0) continue;
        _mm_store_ps(d2, block);
        offer_lanes(list, d2, mask, p, 4, bound);
    }
#endif
    for (; p < end; ++p) list.offer(squared_distance(q, points[p]), p);
}

// Passes every point of [start, end) whose d2 is not >= acc.max_dist_sq() to the
// accumulator, in position order. Plain counting adds 1 per point, so it counts in
// integers, which gives the same sum; four distances are computed at a time.
inline void count_range(const Point& q, const Point* points, std::uint32_t start, std::uint32_t end,
                        CountAccumulator& acc) {
    const float bound = acc.max_dist_sq();
    std::uint32_t p = start;
#if defined(__SSE2__)
    const DistanceBlock four(q);
    const __m128 bound4 = DistanceBlock::splat(bound);
    if (acc.weighted()) {
        alignas(16) float d2[4];
        for (; p + 4 <= end; p += 4) {
            const __m128 block = four.four(points + p);
            unsigned mask = DistanceBlock::below(block, bound4);
            if (mask == 0) continue;
            _mm_store_ps(d2, block);
            for (; mask != 0; mask &= mask - 1) acc.add(d2[__builtin_ctz(mask)]);
        }
    } else {
        std::uint64_t n = 0;
        // Long runs (crowded cells, columns of them) eight at a time where the processor can.
        if (end - p >= WIDE_SCAN_MIN_POINTS && has_wide_scan()) {
            const std::uint32_t blocks = (end - p) / 8;
            n += count_below_by_eight(q, points, p, blocks, bound);
            p += 8 * blocks;
        }
        for (; p + 4 <= end; p += 4)
            n += DistanceBlock::count_of(DistanceBlock::below(four.four(points + p), bound4));
        acc.add_count(n);
    }
#endif
    for (; p < end; ++p) {
        const float d2 = squared_distance(q, points[p]);
        if (!(d2 >= bound)) acc.add(d2);
    }
}

// Ranges handed over one by one, each joined to the one before when they touch, so that
// cells that are neighbours in `points` are scanned as one range, in the same order.
// scan(start, end) runs on each joined range.
template <class Scan>
class JoinedRanges {
public:
    explicit JoinedRanges(Scan scan) : scan_(scan) {}

    void add(std::uint32_t start, std::uint32_t end) {
        if (start != end_) {
            flush();
            start_ = start;
        }
        end_ = end;
    }

    // Scans the range held back; call before scanning anything else and at the end.
    void flush() {
        scan_(start_, end_);
        start_ = end_;
    }

private:
    Scan scan_;
    std::uint32_t start_ = 0, end_ = 0;
};

}  // namespace kesra
