#pragma once
// Offering the lanes of one block of distances computed together (four or eight).
#include <cstdint>

namespace kesra {

// Offers d2[j] at position p + j for every bit j of `mask` (the lanes below `bound`, the
// list's bound when the block was computed), in lane order. The bound only falls while
// offers are made, except when a NaN distance is kept at the top of a full list; then the
// rest of the `width` lanes are offered one by one.
template <class List>
[[gnu::always_inline]] inline void offer_lanes(List& list, const float* d2, unsigned mask, std::uint32_t p,
                                               unsigned width, float bound) {
    for (; mask != 0; mask &= mask - 1) {
        const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
        list.offer(d2[j], p + j);
        if (list.threshold() > bound) [[unlikely]] {
            for (unsigned rest = j + 1; rest < width; ++rest) list.offer(d2[rest], p + rest);
            break;
        }
    }
}

}  // namespace kesra
